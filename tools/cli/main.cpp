// kestrel-cli: the station's parts without the window, for engineers. The help text (and the
// man page made from the same text) is resources/manual/kestrel-cli.txt.
#include "resources/manual/help_text.h"
#include "resources/manual/usage.h"
#include "resources/version_info.h"
#include "tools/cli/cli_arguments.h"
#include "tools/cli/cli_commands.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace {

using kestrel::cli::CommandLine;
using kestrel::cli::CommandOptions;

struct Command {
  const char* name;
  int (*run)(const QStringList&);
  CommandOptions options;  // besides --station-dir, which every command takes
};

const QString kDir = QStringLiteral("station-dir");

const Command kCommands[] = {
    {"settings", kestrel::cli::RunSettingsCommand, {{kDir}, {QStringLiteral("save")}}},
    {"imei", kestrel::cli::RunImeiCommand, {{kDir}, {}}},
    {"serial", kestrel::cli::RunSerialCommand, {{kDir}, {}}},
    {"phone",
     kestrel::cli::RunPhoneCommand,
     {{kDir, QStringLiteral("port"), QStringLiteral("library"), QStringLiteral("mask"),
       QStringLiteral("imei1"), QStringLiteral("imei2"), QStringLiteral("imei3"),
       QStringLiteral("imei4"), QStringLiteral("bt"), QStringLiteral("wifi")},
      {QStringLiteral("allow-irreversible"), QStringLiteral("isolate")}}},
    {"records", kestrel::cli::RunRecordsCommand, {{kDir, QStringLiteral("index")}, {}}},
    {"power",
     kestrel::cli::RunPowerCommand,
     {{kDir, QStringLiteral("board"), QStringLiteral("address"), QStringLiteral("kind")}, {}}},
    {"ports", kestrel::cli::RunPortsCommand, {{kDir}, {}}},
    {"line",
     kestrel::cli::RunLineCommand,
     {{kDir, QStringLiteral("database"), QStringLiteral("station"), QStringLiteral("count"),
       QStringLiteral("batch"), QStringLiteral("from"), QStringLiteral("to"),
       QStringLiteral("html"), QStringLiteral("listen")},
      {QStringLiteral("release")}}},
    {"report",
     kestrel::cli::RunReportCommand,
     {{kDir, QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("html")}, {}}},
    {"label",
     kestrel::cli::RunLabelCommand,
     {{kDir, QStringLiteral("imei1"), QStringLiteral("imei2"), QStringLiteral("imei3"),
       QStringLiteral("imei4"), QStringLiteral("bt"), QStringLiteral("wifi"),
       QStringLiteral("sn1"), QStringLiteral("sn2"), QStringLiteral("date"),
       QStringLiteral("station"), QStringLiteral("template"), QStringLiteral("out"),
       QStringLiteral("printer")},
      {QStringLiteral("last")}}},
};

const Command* Find(const QString& name) {
  for (const Command& c : kCommands) {
    if (name == QLatin1String(c.name)) return &c;
  }
  return nullptr;
}

bool OptionsOf(const QString& name, CommandOptions* options) {
  const Command* c = Find(name);
  if (c != nullptr) *options = c->options;
  return c != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList raw;
  for (int i = 1; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
  const CommandLine line = kestrel::cli::ParseCommandLine(raw, OptionsOf);
  switch (line.action) {
    case CommandLine::Action::Help:
      std::fputs(kestrel_help_text, stdout);
      return 0;
    case CommandLine::Action::Refuse:
      if (!raw.isEmpty()) {
        std::fprintf(stderr, "kestrel-cli: %s\n", line.error.toLocal8Bit().constData());
      }
      return kestrel::resources::PrintUsage(stderr);
    case CommandLine::Action::Version:
    case CommandLine::Action::Run:
      break;
  }
  // Drawing a label needs fonts, hence a GUI application; it never shows a window, so it needs
  // no display either.
  const bool gui = line.command == QLatin1String("label");
  if (gui && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  std::unique_ptr<QCoreApplication> app;
  if (gui) {
    app = std::make_unique<QGuiApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  if (line.action == CommandLine::Action::Version) {
    const QString version = kestrel::resources::VersionInfoReader::ReadProductVersion(
        QCoreApplication::applicationFilePath());
    if (version.isEmpty()) return 1;
    std::printf("kestrel-cli %s\n", version.toLocal8Bit().constData());
    return 0;
  }
  return Find(line.command)->run(line.arguments);
}
