// kestrel-cli: the station's parts without the window, for engineers.
#include "tools/cli/cli_commands.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

struct Command {
  const char* name;
  int (*run)(const QStringList&);
  const char* usage;
};

const Command kCommands[] = {
    {"settings", kestrel::cli::RunSettingsCommand, "settings [--station-dir DIR] [--save]"},
    {"imei", kestrel::cli::RunImeiCommand,
     "imei check-digit BODY | full BODY | next PREFIX | verify IMEI..."},
    {"serial", kestrel::cli::RunSerialCommand, "serial YYYY-MM-DDTHH:MM:SS LENGTH"},
    {"phone", kestrel::cli::RunPhoneCommand, "phone [--station-dir DIR] --port N|usb COMMAND ..."},
    {"records", kestrel::cli::RunRecordsCommand,
     "records [--station-dir DIR] check IMEI [--index N] | find IMEI | create-db"},
    {"power", kestrel::cli::RunPowerCommand,
     "power [--station-dir DIR] --board B --address A idn | set VOLTS [CHANNEL] | off"},
};

int Usage() {
  std::fputs("usage: kestrel-cli COMMAND ...\n", stderr);
  for (const Command& c : kCommands) std::fprintf(stderr, "  kestrel-cli %s\n", c.usage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  if (args.isEmpty()) return Usage();
  const QString name = args.takeFirst();
  for (const Command& c : kCommands) {
    if (name == QLatin1String(c.name)) return c.run(args);
  }
  return Usage();
}
