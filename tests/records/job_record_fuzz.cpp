// Any bytes as a line of a job record file: the reader never crashes, takes only what is JSON,
// and what it takes reads back the same once written again.
#include "records/job_record.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using kestrel::records::ComposeJobRecordLine;
using kestrel::records::JobRecord;
using kestrel::records::ParseJobRecordLine;

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "job_record_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

bool Ascii(const QByteArray& bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return !bytes.contains("\\u");  // escapes of lone surrogates are read leniently here
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray line(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  JobRecord r;
  if (!ParseJobRecordLine(line, &r)) return 0;
  if (Ascii(line) && !line.contains('\n')) {
    QJsonParseError error;
    QByteArray trimmed = line;
    if (trimmed.endsWith('\r')) trimmed.chop(1);
    const QJsonDocument doc = QJsonDocument::fromJson(trimmed, &error);
    Require(error.error == QJsonParseError::NoError && doc.isObject());
  }
  const QByteArray again = ComposeJobRecordLine(r);
  JobRecord back;
  Require(ParseJobRecordLine(again, &back));
  Require(ComposeJobRecordLine(back) == again);
  return 0;
}
