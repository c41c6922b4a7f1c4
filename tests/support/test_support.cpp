#include "tests/support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

namespace kestrel::testing {

StationDir::StationDir() : dir_(QDir::tempPath() + QStringLiteral("/kestrel-test-XXXXXX")) {}

QString StationDir::Write(const QString& name, const QByteArray& content) const {
  const QString p = File(name);
  QDir().mkpath(QFileInfo(p).absolutePath());
  QFile f(p);
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(content);
  return p;
}

QByteArray StationDir::Read(const QString& name) const {
  QFile f(File(name));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString BinDir() {
  return qEnvironmentVariable("KESTREL_BIN_DIR", QStringLiteral(KESTREL_BIN_DIR));
}

int ReplyTimeoutMs(int ms) {
  bool ok = false;
  const int scale = qEnvironmentVariableIntValue("KESTREL_TEST_TIME_SCALE", &ok);
  return ok && scale > 1 && scale <= 20 ? ms * scale : ms;
}

QString BinPath(const QString& name) {
  return BinDir() + QLatin1Char('/') + name;
}

QString SourceDir() {
  return qEnvironmentVariable("KESTREL_SOURCE_DIR", QStringLiteral(KESTREL_SOURCE_DIR));
}

}  // namespace kestrel::testing
