// Any bytes as IMEI.txt: the reuse check never crashes and answers as a plain line-by-line
// search does, however the file is cut into pieces.
#include "records/result_text.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using kestrel::records::FindInResultTextInPieces;
using kestrel::records::TextLinesContain;
using kestrel::records::TextLookup;

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "imei_text_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

// The meaning of the reuse check, spelled out: split into lines, look in each.
bool Reference(const QByteArray& text, const QByteArray& needle) {
  if (needle.isEmpty()) return !text.isEmpty();
  if (needle.contains('\n') || needle.contains('\r')) return false;
  for (QByteArray line : text.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.contains(needle)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t needleLength = data[0] % 20;
  const auto piece = static_cast<qint64>(1 + data[1] % 64);
  if (size < 2 + needleLength) return 0;
  const QByteArray needle(reinterpret_cast<const char*>(data + 2),
                          static_cast<qsizetype>(needleLength));
  const QByteArray text(reinterpret_cast<const char*>(data + 2 + needleLength),
                        static_cast<qsizetype>(size - 2 - needleLength));
  const bool expected = Reference(text, needle);
  Require(TextLinesContain(text, needle) == expected);

  static QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("IMEI.txt"));
  // A new file each time: truncating one that holds data makes the file system flush it.
  QFile::remove(path);
  QFile file(path);
  Require(file.open(QIODevice::WriteOnly));
  file.write(text);
  file.close();
  const TextLookup found = FindInResultTextInPieces(path, QString::fromLatin1(needle), piece);
  Require(found == (expected ? TextLookup::Present : TextLookup::Absent));
  return 0;
}
