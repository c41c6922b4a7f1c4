// The commands of kestrel-cli. Each takes the arguments after its own name (with any
// --station-dir option still in place) and returns the process exit code. Output: plain
// text on standard output, one fact a line; messages on standard error.
#pragma once

#include <QStringList>

namespace kestrel::cli {

int RunSettingsCommand(const QStringList& args);
int RunImeiCommand(const QStringList& args);
int RunSerialCommand(const QStringList& args);
int RunPhoneCommand(const QStringList& args);
int RunRecordsCommand(const QStringList& args);
int RunPowerCommand(const QStringList& args);
int RunPortsCommand(const QStringList& args);
int RunLineCommand(const QStringList& args);
int RunReportCommand(const QStringList& args);
int RunLabelCommand(const QStringList& args);

}  // namespace kestrel::cli
