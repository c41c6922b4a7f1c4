#include "app/station_arguments.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace kestrel::app {

StationArguments ParseStationArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  const QCommandLineOption folder(QStringLiteral("station-dir"), QString(), QStringLiteral("DIR"));
  parser.addOptions({help, version, folder});

  StationArguments parsed;
  auto refuse = [&parsed](const QString& why) {
    parsed.action = StationArguments::Action::Refuse;
    parsed.error = why;
    return parsed;
  };
  if (!parser.parse(arguments)) return refuse(parser.errorText());
  if (!parser.positionalArguments().isEmpty()) {
    return refuse(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
  }
  if (parser.isSet(folder)) {
    parsed.stationDir = parser.value(folder);
    if (parsed.stationDir.isEmpty()) return refuse(QStringLiteral("--station-dir needs a folder"));
  }
  if (parser.isSet(help)) {
    parsed.action = StationArguments::Action::Help;
  } else if (parser.isSet(version)) {
    parsed.action = StationArguments::Action::Version;
  }
  return parsed;
}

}  // namespace kestrel::app
