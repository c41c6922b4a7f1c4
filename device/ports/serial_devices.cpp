#include "device/ports/serial_devices.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

namespace kestrel::device::ports {

QString ByIdFolder() {
  const QString env = qEnvironmentVariable("KESTREL_SERIAL_BY_ID");
  return QDir::cleanPath(env.isEmpty() ? QStringLiteral("/dev/serial/by-id")
                                       : QDir(env).absolutePath());
}

std::vector<SerialDevice> SerialDevices() {
  std::vector<SerialDevice> out;
  const QString folder = ByIdFolder();
  const QStringList names =
      QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString& name : names) {
    const QString path = folder + QLatin1Char('/') + name;
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty()) continue;  // the link's target has gone
    out.push_back({name, path, device});
  }
  return out;
}

QString ByIdPathFor(const QString& device) {
  if (device.isEmpty()) return {};
  const QString folder = ByIdFolder();
  const bool bareName = !device.contains(QLatin1Char('/'));
  const QString path = bareName ? folder + QLatin1Char('/') + device
                                : QDir::cleanPath(QFileInfo(device).absoluteFilePath());
  if (QFileInfo(path).absolutePath() == folder) {
    return QFileInfo(path).canonicalFilePath().isEmpty() ? QString() : path;
  }
  if (bareName) return {};
  const QString canonical = QFileInfo(path).canonicalFilePath();
  if (canonical.isEmpty()) return {};
  for (const SerialDevice& d : SerialDevices()) {
    if (d.device == canonical) return d.byIdPath;
  }
  return {};
}

QString DriverOf(const QString& devicePath) {
  const QString name = QFileInfo(QFileInfo(devicePath).canonicalFilePath()).fileName();
  if (name.isEmpty()) return {};
  // Since Linux 6.5 the serial core puts its own port and controller devices (bus
  // "serial-base") between a UART's tty and the device of its driver: look past them.
  QString device =
      QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(name)).canonicalFilePath();
  for (int level = 0; level < 4 && !device.isEmpty() && device != QLatin1String("/"); ++level) {
    const QFileInfo driver(QFileInfo(device + QStringLiteral("/driver")).canonicalFilePath());
    const QString bus = QFileInfo(driver.absolutePath()).dir().dirName();
    if (driver.exists() && bus != QLatin1String("serial-base")) return driver.fileName();
    device = QFileInfo(device).absolutePath();
  }
  return {};
}

}  // namespace kestrel::device::ports
