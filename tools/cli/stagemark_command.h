// The station-record subcommands of kestrel-cli phone: run on the open phone test by
// phone_command.cpp.
//   stagemark-check CURRENT CHECK | stagemark-update CURRENT pass|fail [TEXT] | stagemark-show
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <QString>
#include <QStringList>

namespace kestrel::cli {

bool IsStagemarkCommand(const QString& command);
// Null when the arguments fit the command, else what is wrong (before the phone is opened).
const char* ValidateStagemarkCommand(const QString& command, const QStringList& args);
// Runs the command on the phone test open on h through the library's calls `kv` (which the
// station-record library has been given too); returns the call's result code.
int32_t RunStagemarkCommand(const device::oxbind::PhoneApi& kv, PhoneHandle h,
                            const QString& command, const QStringList& args);

}  // namespace kestrel::cli
