// kestrel-cli ports [--station-dir DIR] list | assign N DEVICE | unassign N: the port map of
// the station folder and the system's stable device names (/dev/serial/by-id).
//   list          one line per serial device: its COM number in the port map ("-" when it
//                 has none), then device=, by-id=, driver= and, for a link, link=; then the
//                 links whose device is not plugged in now (device=-)
//   assign N D    links ports/COM<N> to the by-id path of D, so port N follows the cable
//   unassign N    removes the link of port N
#include "config/station_folder.h"
#include "device/ports/port_links.h"
#include "device/ports/port_map.h"
#include "device/ports/serial_devices.h"
#include "tools/cli/cli_commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <unistd.h>

#include <cstdio>

namespace kestrel::cli {
namespace {

namespace ports = device::ports;

int Usage(const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "kestrel-cli ports: %s\n", problem);
  std::fputs("usage: kestrel-cli ports [--station-dir DIR] list | assign N DEVICE | unassign N\n",
             stderr);
  return 2;
}

int Fail(const QString& why) {
  std::fprintf(stderr, "kestrel-cli ports: %s\n", why.toLocal8Bit().constData());
  return 1;
}

QByteArray OrDash(const QString& text) {
  return text.isEmpty() ? QByteArray("-") : text.toLocal8Bit();
}

void PrintRow(const QString& number, const QString& device, const QString& byId,
              const QString& link) {
  std::printf("%s device=%s by-id=%s driver=%s", number.toLocal8Bit().constData(),
              OrDash(device).constData(), OrDash(byId).constData(),
              OrDash(ports::DriverOf(device)).constData());
  if (!link.isEmpty()) std::printf(" link=%s", link.toLocal8Bit().constData());
  std::fputc('\n', stdout);
}

int List() {
  const std::vector<ports::SerialDevice> named = ports::SerialDevices();
  auto byIdOf = [&named](const QString& device) {
    for (const ports::SerialDevice& d : named) {
      if (d.device == device) return d.byIdName;
    }
    return QString();
  };
  QSet<QString> mapped;
  QSet<int> numbers;
  for (const ports::PortInfo& p : ports::EnumeratePorts()) {
    const QString device = QFileInfo(p.device).canonicalFilePath();
    mapped.insert(device);
    numbers.insert(p.number);
    const bool link = p.device.startsWith(ports::LinkFolder() + QLatin1Char('/'));
    const QString linkText =
        link ? QStringLiteral("ports/%1 -> %2")
                   .arg(QFileInfo(p.device).fileName(), QFileInfo(p.device).symLinkTarget())
             : QString();
    PrintRow(p.name, device, byIdOf(device), linkText);
  }
  // Assigned numbers whose cable is not plugged in now: the link stays and the number comes
  // back with the cable.
  const QDir links(ports::LinkFolder());
  for (const QString& name : links.entryList(QDir::System | QDir::AllEntries, QDir::Name)) {
    const int n = ports::LinkNumber(name);
    const QFileInfo link(links.filePath(name));
    if (n == 0 || numbers.contains(n) || !link.isSymLink() || link.exists()) continue;
    numbers.insert(n);
    const QString target = link.symLinkTarget();
    const bool byId = QFileInfo(target).absolutePath() == ports::ByIdFolder();
    PrintRow(QStringLiteral("COM%1").arg(n), QString(),
             byId ? QFileInfo(target).fileName() : QString(),
             QStringLiteral("ports/%1 -> %2").arg(name, target));
  }
  // Named devices the map leaves out: the system's devices are switched off, or this account
  // may not open them.
  for (const ports::SerialDevice& d : named) {
    if (mapped.contains(d.device)) continue;
    mapped.insert(d.device);
    PrintRow(QStringLiteral("-"), d.device, d.byIdName, QString());
    if (::access(QFile::encodeName(d.device).constData(), R_OK | W_OK) != 0) {
      std::fprintf(stderr, "message: no read and write access to %s: join the group dialout\n",
                   d.device.toLocal8Bit().constData());
    }
  }
  return 0;
}

bool Number(const QString& text, int* number) {
  bool ok = false;
  *number = text.toInt(&ok);
  return ok && *number >= 1 && *number <= ports::kMaxLinkNumber;
}

int Assign(const QString& numberText, const QString& device) {
  int number = 0;
  if (!Number(numberText, &number)) return Usage("N is a port number from 1 to 999");
  const QString byId = ports::ByIdPathFor(device);
  if (byId.isEmpty()) {
    return Fail(QStringLiteral("%1 has no name in %2 (is it plugged in?)")
                    .arg(device, ports::ByIdFolder()));
  }
  QString error;
  if (!ports::AssignPort(number, byId, &error)) return Fail(error);
  std::printf("COM%d -> %s\n", number, byId.toLocal8Bit().constData());
  return 0;
}

int Unassign(const QString& numberText) {
  int number = 0;
  if (!Number(numberText, &number)) return Usage("N is a port number from 1 to 999");
  QString error;
  if (!ports::UnassignPort(number, &error)) return Fail(error);
  std::printf("COM%d removed\n", number);
  return 0;
}

}  // namespace

int RunPortsCommand(const QStringList& args) {
  const qsizetype dirAt = args.indexOf(QLatin1String("--station-dir"));
  if (dirAt >= 0 && dirAt == args.size() - 1) return Usage("--station-dir needs a folder");
  const QStringList rest = config::WithoutStationDirArgument(args);
  if (rest.isEmpty()) return Usage();
  ports::SetStationFolder(config::ResolveStationFolder(args));
  const QString& what = rest.first();
  if (what == QLatin1String("list") && rest.size() == 1) return List();
  if (what == QLatin1String("assign") && rest.size() == 3) return Assign(rest.at(1), rest.at(2));
  if (what == QLatin1String("unassign") && rest.size() == 2) return Unassign(rest.at(1));
  return Usage();
}

}  // namespace kestrel::cli
