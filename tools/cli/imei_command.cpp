// kestrel-cli imei: the station's IMEI arithmetic, for checking label batches and ranges.
//   imei check-digit BODY   the check digit of a body of 1 to 14 digits
//   imei full BODY          the 15-digit IMEI of that body
//   imei next PREFIX        the IMEI after a body (as an incremented slot gets it)
//   imei verify IMEI...     "<IMEI> ok" or "<IMEI> bad" per argument; exit 1 when any is bad
#include "config/station_folder.h"
#include "identity/imei.h"
#include "identity/number_text.h"
#include "tools/cli/cli_commands.h"

#include <QRegularExpression>

#include <cstdio>

namespace kestrel::cli {

namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "kestrel-cli imei: %s\n", why);
  std::fputs(
      "usage: kestrel-cli imei check-digit BODY | full BODY | next PREFIX | verify IMEI...\n"
      "  BODY and PREFIX are 1 to 14 decimal digits\n",
      stderr);
  return 2;
}

void PrintLine(const QString& text) {
  std::printf("%s\n", text.toUtf8().constData());
}

bool IsDigits(const QString& text, int minLength, int maxLength) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
  return text.size() >= minLength && text.size() <= maxLength && digits.match(text).hasMatch();
}

}  // namespace

int RunImeiCommand(const QStringList& rawArgs) {
  QStringList args = config::WithoutStationDirArgument(rawArgs);
  if (args.isEmpty()) return Usage("missing subcommand");
  const QString sub = args.takeFirst();

  if (sub == QLatin1String("check-digit") || sub == QLatin1String("full") ||
      sub == QLatin1String("next")) {
    if (args.size() != 1) return Usage("expected exactly one number");
    const QString number = args.first();
    if (!IsDigits(number, 1, 14)) return Usage("the number must be 1 to 14 decimal digits");
    if (sub == QLatin1String("check-digit")) {
      PrintLine(QString::number(identity::ImeiCheckDigit(identity::ReadDecimal(number))));
    } else if (sub == QLatin1String("full")) {
      PrintLine(identity::FullImei(identity::ReadDecimal(number)));
    } else {
      PrintLine(identity::NextImeiFromPrefix(number));
    }
    return 0;
  }

  if (sub == QLatin1String("verify")) {
    if (args.isEmpty()) return Usage("expected at least one IMEI");
    bool allGood = true;
    for (const QString& imei : args) {
      // An IMEI is exactly 15 digits; anything else could never pass the station's checks.
      const bool good = IsDigits(imei, 15, 15) && identity::VerifyImeiCheckDigit(imei);
      PrintLine(imei + (good ? QStringLiteral(" ok") : QStringLiteral(" bad")));
      allGood = allGood && good;
    }
    return allGood ? 0 : 1;
  }

  return Usage("unknown subcommand");
}

}  // namespace kestrel::cli
