// Any bytes as the station's line outbox (LineOutbox.txt, which a crash may cut and a hand may
// edit): nothing crashes; a line that decodes encodes back to a line that decodes to the same
// record; the file loads with every line either taken or listed as a problem with its number.
#include "line/line_outbox.h"
#include "line/line_outbox_format.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "line_outbox_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  for (const QByteArray& line : bytes.split('\n')) {
    kestrel::line::LineOutboxRecord record;
    QString why;
    if (!kestrel::line::DecodeOutboxRecord(line, &record, &why)) {
      Require(!why.isEmpty());
      continue;
    }
    const QByteArray again = kestrel::line::EncodeOutboxRecord(record);
    Require(again.endsWith('\n') && again.count('\n') == 1);
    kestrel::line::LineOutboxRecord back;
    Require(kestrel::line::DecodeOutboxRecord(again.chopped(1), &back, &why));
    Require(back.seq == record.seq && back.kind == record.kind && back.at == record.at &&
            back.fields == record.fields);
  }

  kestrel::line::LineOutbox box(QStringLiteral("LineOutbox.txt"));
  box.Read(bytes);
  const qint64 lines = bytes.count('\n') + 1;
  for (const kestrel::line::LineOutboxProblem& p : box.problems()) {
    Require(p.line >= 1 && p.line <= lines);
  }
  for (const kestrel::line::LineOutboxEntry& e : box.entries()) {
    Require(e.key.startsWith(QString::number(e.record.seq) + QLatin1Char('@')));
  }
  std::uint64_t first = 0;
  (void)box.ledger().NextRun(kestrel::line::LineRangeKind::Imei, 2, &first);
  return 0;
}
