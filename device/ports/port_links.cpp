#include "device/ports/port_links.h"

#include "device/ports/port_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::device::ports {
namespace {

// The entries of the link folder that give `number` (any case).
QStringList LinksOf(int number) {
  QStringList out;
  const QStringList names =
      QDir(LinkFolder())
          .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                     QDir::Name);
  for (const QString& name : names) {
    if (LinkNumber(name) == number) out << name;
  }
  return out;
}

QString SystemError() {
  return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

bool AssignPort(int number, const QString& target, QString* error) {
  if (number < 1 || number > kMaxLinkNumber) {
    *error = QStringLiteral("port numbers of links are 1 to %1").arg(kMaxLinkNumber);
    return false;
  }
  const QString folder = LinkFolder();
  if (!QDir().mkpath(folder)) {
    *error = QStringLiteral("cannot make %1").arg(folder);
    return false;
  }
  const QString name = QStringLiteral("COM%1").arg(number);
  const QString path = folder + QLatin1Char('/') + name;
  const QString temporary = folder + QStringLiteral("/.") + name + QStringLiteral(".new");
  QFile::remove(temporary);
  if (!QFile::link(target, temporary)) {
    *error = QStringLiteral("cannot make a link in %1").arg(folder);
    return false;
  }
  if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) !=
      0) {
    *error = QStringLiteral("cannot replace %1: %2").arg(path, SystemError());
    QFile::remove(temporary);
    return false;
  }
  for (const QString& other : LinksOf(number)) {
    if (other != name && QFileInfo(folder + QLatin1Char('/') + other).isSymLink()) {
      QFile::remove(folder + QLatin1Char('/') + other);
    }
  }
  return true;
}

bool UnassignPort(int number, QString* error) {
  const QString folder = LinkFolder();
  const QStringList links = LinksOf(number);
  if (links.isEmpty()) {
    *error = QStringLiteral("no link gives COM%1 in %2").arg(number).arg(folder);
    return false;
  }
  for (const QString& name : links) {
    const QString path = folder + QLatin1Char('/') + name;
    if (!QFileInfo(path).isSymLink() || !QFile::remove(path)) {
      *error = QStringLiteral("cannot remove %1").arg(path);
      return false;
    }
  }
  return true;
}

}  // namespace kestrel::device::ports
