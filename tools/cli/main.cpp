// kestrel-cli: the station's parts without the window, for engineers. The help text (and the
// man page made from the same text) is resources/manual/kestrel-cli.txt.
#include "resources/manual/help_text.h"
#include "resources/version_info.h"
#include "tools/cli/cli_commands.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct Command {
  const char* name;
  int (*run)(const QStringList&);
};

const Command kCommands[] = {
    {"settings", kestrel::cli::RunSettingsCommand}, {"imei", kestrel::cli::RunImeiCommand},
    {"serial", kestrel::cli::RunSerialCommand},     {"phone", kestrel::cli::RunPhoneCommand},
    {"records", kestrel::cli::RunRecordsCommand},   {"power", kestrel::cli::RunPowerCommand},
    {"ports", kestrel::cli::RunPortsCommand},
    {"line", kestrel::cli::RunLineCommand},
    {"report", kestrel::cli::RunReportCommand},
    {"label", kestrel::cli::RunLabelCommand},
};

// The help text's "Usage:" section, up to the blank line after it.
int Usage() {
  const char* from = std::strstr(kestrel_help_text, "Usage:\n");
  const char* to = from ? std::strstr(from, "\n\n") : nullptr;
  if (from && to) {
    std::fwrite(from, 1, static_cast<std::size_t>(to - from + 1), stderr);
  } else {
    std::fputs(kestrel_help_text, stderr);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Drawing a label needs fonts, hence a GUI application; it never shows a window, so it needs
  // no display either.
  const bool gui = argc > 1 && std::strcmp(argv[1], "label") == 0;
  if (gui && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  std::unique_ptr<QCoreApplication> app;
  if (gui) {
    app = std::make_unique<QGuiApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  if (args.isEmpty()) return Usage();
  const QString name = args.takeFirst();
  if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
    std::fputs(kestrel_help_text, stdout);
    return 0;
  }
  if (name == QLatin1String("--version")) {
    const QString version = kestrel::resources::VersionInfoReader::ReadProductVersion(
        QCoreApplication::applicationFilePath());
    if (version.isEmpty()) return 1;
    std::printf("kestrel-cli %s\n", version.toLocal8Bit().constData());
    return 0;
  }
  for (const Command& c : kCommands) {
    if (name == QLatin1String(c.name)) return c.run(args);
  }
  return Usage();
}
