#include "tools/cli/cli_arguments.h"

namespace kestrel::cli {
namespace {

const QString kStationDir = QStringLiteral("station-dir");

bool IsHelp(const QString& a) {
  return a == QLatin1String("--help") || a == QLatin1String("-h");
}

// "--NAME" or "--NAME=VALUE" (a lone "-" followed by a letter also counts, so that "-x" is
// refused as an option rather than taken as a word); numbers such as "-1" are words.
bool LooksLikeOption(const QString& a) {
  if (a.startsWith(QLatin1String("--"))) return a.size() > 2;
  return a.size() > 1 && a[0] == QLatin1Char('-') && a[1].isLetter();
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments,
                             bool (*optionsOf)(const QString& command, CommandOptions* options)) {
  CommandLine line;
  auto refuse = [&line](const QString& why) {
    line.action = CommandLine::Action::Refuse;
    line.error = why;
    return line;
  };
  // --help and --version first, wherever they stand before a "--".
  for (const QString& a : arguments) {
    if (a == QLatin1String("--")) break;
    if (IsHelp(a)) {
      line.action = CommandLine::Action::Help;
      return line;
    }
  }
  for (const QString& a : arguments) {
    if (a == QLatin1String("--")) break;
    if (a == QLatin1String("--version")) {
      line.action = CommandLine::Action::Version;
      return line;
    }
  }

  CommandOptions options;
  QStringList words;
  QStringList given;
  bool optionsEnded = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments.at(i);
    if (optionsEnded || !LooksLikeOption(a)) {
      if (line.command.isEmpty()) {
        if (!optionsOf(a, &options)) return refuse(QStringLiteral("unknown command '%1'").arg(a));
        line.command = a;
      } else {
        words << a;
      }
      continue;
    }
    if (a == QLatin1String("--")) {
      optionsEnded = true;
      continue;
    }
    const qsizetype eq = a.indexOf(QLatin1Char('='));
    const QString name = a.mid(2, eq < 0 ? -1 : eq - 2);
    const bool before = line.command.isEmpty();
    const bool takesValue = before ? name == kStationDir : options.values.contains(name, Qt::CaseInsensitive);
    const bool flag = !before && options.flags.contains(name, Qt::CaseInsensitive);
    if (!a.startsWith(QLatin1String("--")) || (!takesValue && !flag)) {
      return refuse(before ? QStringLiteral("unknown option '%1' before the command").arg(a)
                           : QStringLiteral("unknown option '%1' of %2").arg(a, line.command));
    }
    QString value;
    if (flag) {
      if (eq >= 0) return refuse(QStringLiteral("--%1 takes no value").arg(name));
      given << a;
      continue;
    }
    if (eq >= 0) {
      value = a.mid(eq + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments.at(++i);
    } else {
      return refuse(QStringLiteral("--%1 needs a value").arg(name));
    }
    if (name == kStationDir && value.isEmpty()) {
      return refuse(QStringLiteral("--station-dir needs a folder"));
    }
    given << QStringLiteral("--") + name << value;
  }
  if (line.command.isEmpty()) return refuse(QStringLiteral("a command is needed"));
  line.arguments = words + given;
  return line;
}

}  // namespace kestrel::cli
