#include "device/ports/port_map.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace kestrel::device::ports {
namespace {

std::mutex& FolderLock() {
  static std::mutex m;
  return m;
}
QString& FolderValue() {
  static QString folder;
  return folder;
}

QString ExecutableFolder() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return QDir::currentPath();
  return QFileInfo(QString::fromLocal8Bit(buffer, static_cast<int>(n))).absolutePath();
}

// Milliseconds since the epoch of the last change of a directory entry itself (not of what
// a link points to).
qint64 EntryChangedMsecs(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  const qint64 mtime = static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  const qint64 ctime = static_cast<qint64>(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000;
  return std::max(mtime, ctime);
}

bool SystemPortsWanted() {
  return qEnvironmentVariable("KESTREL_SYSTEM_PORTS") != "0";
}

// A /dev/ttyS<k> node exists for every possible 8250 line; only those with a UART behind
// them (sysfs "type" other than 0) are ports.
bool TtySHasUart(const QString& name) {
  QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(name));
  if (!type.open(QIODevice::ReadOnly)) return false;
  bool ok = false;
  const int value = type.readAll().trimmed().toInt(&ok);
  return ok && value != 0;
}

}  // namespace

void SetStationFolder(const QString& folder) {
  std::lock_guard lock(FolderLock());
  FolderValue() = folder.isEmpty() ? QString() : QDir(folder).absolutePath();
  if (FolderValue().isEmpty()) {
    qunsetenv("KESTREL_STATION_DIR");
  } else {
    qputenv("KESTREL_STATION_DIR", QFile::encodeName(FolderValue()));
  }
}

QString StationFolder() {
  {
    std::lock_guard lock(FolderLock());
    if (!FolderValue().isEmpty()) return FolderValue();
  }
  const QString env = qEnvironmentVariable("KESTREL_STATION_DIR");
  if (!env.isEmpty()) return QDir(env).absolutePath();
  return ExecutableFolder();
}

QString LinkFolder() {
  return StationFolder() + QStringLiteral("/ports");
}

int LinkNumber(const QString& fileName) {
  return LinkNumberOf(fileName.toStdString());
}

int SystemPortNumber(const QString& devicePath) {
  return SystemPortNumberOf(QFile::encodeName(devicePath).toStdString());
}

std::vector<PortInfo> EnumeratePorts() {
  std::map<int, PortInfo> byNumber;

  const QString links = LinkFolder();
  QDir linkDir(links);
  if (linkDir.exists()) {
    QStringList names =
        linkDir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(names.begin(), names.end());  // byte order, so the winner is well defined
    for (const QString& name : names) {
      const int n = LinkNumber(name);
      if (n == 0 || byNumber.count(n)) continue;
      const QString path = links + QLatin1Char('/') + name;
      const QFileInfo info(path);
      // The target must exist (exists() follows the link).
      if (!info.exists()) continue;
      const QString target = info.isSymLink() ? info.symLinkTarget() : path;
      PortInfo p;
      p.number = n;
      p.name = QStringLiteral("COM%1").arg(n);
      p.device = path;
      p.description = QStringLiteral("link ports/%1 -> %2").arg(name, target);
      p.changedMsecs = std::max(EntryChangedMsecs(path), EntryChangedMsecs(target));
      byNumber.emplace(n, p);
    }
  }

  if (SystemPortsWanted()) {
    const QStringList devices =
        QDir(QStringLiteral("/dev"))
            .entryList(
                {QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                QDir::System | QDir::Files | QDir::Readable | QDir::Writable, QDir::Name);
    for (const QString& name : devices) {
      const QString path = QStringLiteral("/dev/") + name;
      const int n = SystemPortNumber(path);
      if (n == 0 || byNumber.count(n)) continue;
      if (n < kTtyUsbBase && !TtySHasUart(name)) continue;
      PortInfo p;
      p.number = n;
      p.name = QStringLiteral("COM%1").arg(n);
      p.device = path;
      p.description = QStringLiteral("serial device %1").arg(path);
      p.changedMsecs = EntryChangedMsecs(path);
      byNumber.emplace(n, p);
    }
  }

  std::vector<PortInfo> result;
  result.reserve(byNumber.size());
  for (auto& [n, p] : byNumber) result.push_back(std::move(p));
  return result;
}

QStringList PortNames() {
  QStringList names;
  for (const PortInfo& p : EnumeratePorts()) names << p.name;
  return names;
}

QString ResolvePort(int number) {
  if (number <= 0) return {};
  for (const PortInfo& p : EnumeratePorts()) {
    if (p.number == number) return p.device;
  }
  return {};
}

}  // namespace kestrel::device::ports
