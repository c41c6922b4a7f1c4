// kestrel-cli serial TIME LENGTH: the serial number the station generates at the local time
// TIME (YYYY-MM-DDTHH:MM:SS) for an SN length of LENGTH (1 to 24).
#include "config/station_folder.h"
#include "identity/identity_clock.h"
#include "identity/serial_numbers.h"
#include "tools/cli/cli_commands.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

#include <cstdio>

namespace kestrel::cli {

namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "kestrel-cli serial: %s\n", why);
  std::fputs("usage: kestrel-cli serial YYYY-MM-DDTHH:MM:SS LENGTH   (LENGTH 1 to 24)\n", stderr);
  return 2;
}

}  // namespace

int RunSerialCommand(const QStringList& rawArgs) {
  const QStringList args = config::WithoutStationDirArgument(rawArgs);
  if (args.size() != 2) return Usage("expected a time and a length");

  static const QRegularExpression form(
      QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})$"));
  const QRegularExpressionMatch m = form.match(args[0]);
  if (!m.hasMatch()) return Usage("the time must be YYYY-MM-DDTHH:MM:SS");
  identity::LocalDateTime at;
  at.year = m.captured(1).toInt();
  at.month = m.captured(2).toInt();
  at.day = m.captured(3).toInt();
  at.hour = m.captured(4).toInt();
  at.minute = m.captured(5).toInt();
  at.second = m.captured(6).toInt();
  if (!QDate::isValid(at.year, at.month, at.day) ||
      !QTime::isValid(at.hour, at.minute, at.second)) {
    return Usage("no such date or time");
  }

  bool ok = false;
  const int length = args[1].toInt(&ok);
  if (!ok || length < 1 || length > 24) return Usage("the length must be 1 to 24");

  std::printf("%s\n", identity::TimeSerial(length, at).toUtf8().constData());
  return 0;
}

}  // namespace kestrel::cli
