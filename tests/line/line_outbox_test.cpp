// The station's line outbox without a server: its line format, the file with damaged and cut
// lines among whole ones, compaction, and what the station knows of its blocks.
#include "line/line_outbox.h"
#include "line/line_outbox_format.h"
#include "log/durable_file.h"

#include "tests/support/test_support.h"

#include <QFile>

#include <gtest/gtest.h>

using kestrel::line::DecodeOutboxRecord;
using kestrel::line::EncodeOutboxRecord;
using kestrel::line::LineBlock;
using kestrel::line::LineBlockLedger;
using kestrel::line::LineOutbox;
using kestrel::line::LineOutboxEntry;
using kestrel::line::LineOutboxRecord;
using kestrel::line::LineRangeKind;
using kestrel::line::OutboxCrc32;
using kestrel::testing::StationDir;

namespace {

// A line of the given body with its right checksum, so that the parts after it are judged.
QByteArray Checked(const QByteArray& body) {
  return body + " *" + QByteArray::number(OutboxCrc32(body.constData(), body.size()), 16)
                           .rightJustified(8, '0');
}

bool SameRecord(const LineOutboxRecord& a, const LineOutboxRecord& b) {
  return a.seq == b.seq && a.kind == b.kind && a.at == b.at && a.fields == b.fields;
}

}  // namespace

TEST(LineOutboxFormat, ARecordComesBackAsWrittenAndDamageIsToldNotRead) {
  LineOutboxRecord r;
  r.seq = 42;
  r.kind = QStringLiteral("confirm");
  r.at = QDateTime::fromString(QStringLiteral("2026-12-10T10:42:05.123Z"), Qt::ISODateWithMs);
  r.Add(QStringLiteral("stamp"), QStringLiteral("2026-12-10-10-42-05"));
  r.Add(QStringLiteral("record"), QStringLiteral("2026-12-10-10-42-05, IMEI:350000000000006, "
                                                 "BT:0a0b0c0d0e0f"));
  r.Add(QStringLiteral("IMEI1"), QStringLiteral("350000000000006"));
  r.Add(QStringLiteral("why"), QStringLiteral("100% = *sure* \u05D0\u00DC\n\tend"));
  r.Add(QStringLiteral("empty"), QString());
  const QByteArray line = EncodeOutboxRecord(r);
  ASSERT_TRUE(line.endsWith('\n'));
  EXPECT_EQ(line.count('\n'), 1);
  LineOutboxRecord back;
  QString why;
  ASSERT_TRUE(DecodeOutboxRecord(line.chopped(1), &back, &why)) << why.toStdString();
  EXPECT_TRUE(SameRecord(back, r)) << line.toStdString();

  const QByteArray body = line.left(line.lastIndexOf(" *"));
  QByteArray flipped = line.chopped(1);
  flipped[20] = flipped[20] == 'x' ? 'y' : 'x';
  const struct {
    QByteArray line;
    const char* why;
  } bad[] = {
      {flipped, "checksum does not match"},
      {line.left(line.size() / 2), "no checksum"},
      {body + " *0000000g", "checksum does not match"},
      {Checked("K2" + body.mid(2)), "later format"},
      {Checked("X1" + body.mid(2)), "not an outbox line"},
      {Checked("K1 -1 confirm 2026-12-10T10:42:05.123Z"), "its number"},
      {Checked("K1 1 Confirm 2026-12-10T10:42:05.123Z"), "its kind"},
      {Checked("K1 1 confirm yesterday"), "its time"},
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123"), "its time"},
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123Z a=%zz"), "a field"},
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123Z a=%f"), "a field"},
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123Z a=%ff"), "a field"},  // not UTF-8
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123Z =v"), "a field"},
      {Checked("K1 1 confirm 2026-12-10T10:42:05.123Z a-b=v"), "a field"},
      {Checked("K1 1 confirm"), "too few parts"},
  };
  for (const auto& b : bad) {
    LineOutboxRecord none;
    QString reason;
    EXPECT_FALSE(DecodeOutboxRecord(b.line, &none, &reason)) << b.line.toStdString();
    EXPECT_TRUE(reason.contains(QLatin1String(b.why)))
        << b.line.toStdString() << " -> " << reason.toStdString();
  }
}

TEST(LineOutboxFile, DamagedAndCutLinesAreToldByNumberAndTheLinesAfterThemCount) {
  StationDir dir;
  const QString path = dir.File("LineOutbox.txt");
  LineOutbox box(path);
  box.SetStationName(QStringLiteral("L1-S01"));
  ASSERT_TRUE(box.Load(nullptr));
  const LineBlock block{7, LineRangeKind::Imei, 1000, 1099, 1000, 1099};
  ASSERT_TRUE(box.AddBlock(block, nullptr));
  ASSERT_TRUE(box.AddMarks({{LineRangeKind::Imei, 1003}, {LineRangeKind::Wifi, 5}}, nullptr));
  qint64 reserve = 0, confirm = 0, refused = 0;
  ASSERT_TRUE(box.AddEntry("reserve", {{"IMEI1", "000000000010040"}, {"IMEI2", "000000000010057"}},
                           &reserve, nullptr));
  ASSERT_TRUE(box.AddEntry("confirm", {{"stamp", "s"}, {"record", "r, IMEI:000000000010040"},
                                       {"IMEI1", "000000000010040"}, {"IMEI2", "000000000010057"}},
                           &confirm, nullptr));
  ASSERT_TRUE(box.AddEntry("reserve", {{"IMEI1", "000000000010065"}}, &refused, nullptr));
  ASSERT_TRUE(box.SetHandedOn(reserve, nullptr));
  ASSERT_TRUE(box.SetRefused(refused, "IMEI1 000000000010065 is reserved by L1-S02", nullptr));
  EXPECT_EQ(box.Pending(), 1);
  EXPECT_EQ(box.Refused(), 1);
  ASSERT_NE(box.NextPending(), nullptr);
  EXPECT_EQ(box.NextPending()->record.seq, confirm);

  // A hand edit in the middle, a line of a later build, and a line cut by a crash at the end.
  QByteArray text = dir.Read("LineOutbox.txt");
  QList<QByteArray> lines = text.split('\n');
  ASSERT_EQ(lines.size(), 9);  // header, block, mark, 3 entries, 2 notes, "" after the last
  lines[4].replace("000000000010057", "000000000010058");  // the confirm's IMEI2 changed
  lines.insert(6, Checked("K1 90 summary 2026-12-10T10:42:05.123Z IMEI1=000000000010040"));
  text = lines.join('\n') +
         EncodeOutboxRecord({91, "reserve", QDateTime::currentDateTimeUtc(), {}}).left(30);
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
  f.close();

  LineOutbox again(path);
  ASSERT_TRUE(again.Load(nullptr));
  const QStringList problems = again.ProblemTexts();
  ASSERT_EQ(problems.size(), 3) << problems.join('\n').toStdString();
  EXPECT_TRUE(problems[0].endsWith("LineOutbox.txt:5: damaged (its checksum does not match), "
                                   "skipped"))
      << problems[0].toStdString();
  EXPECT_TRUE(problems[1].contains(":7: an entry of kind summary")) << problems[1].toStdString();
  EXPECT_TRUE(problems[2].contains(":10: cut (no line end)")) << problems[2].toStdString();
  // The damaged confirm is not handed on; the refusal and the hand-off noted after it stand.
  EXPECT_EQ(again.Pending(), 0);
  ASSERT_EQ(again.entries().size(), 1U);
  EXPECT_EQ(again.entries()[0].state, LineOutboxEntry::State::Refused);
  EXPECT_EQ(again.entries()[0].why, "IMEI1 000000000010065 is reserved by L1-S02");
  // What may be in phones counts whichever line it came from: the mark, and the entries.
  std::uint64_t first = 0;
  ASSERT_TRUE(again.ledger().NextRun(LineRangeKind::Imei, 2, &first));
  EXPECT_EQ(first, 1007U);

  // The next entry starts a line of its own after the cut one; once it is handed on, compaction
  // drops what was handed on and keeps the rest as it was, the numbers going on.
  qint64 next = 0;
  ASSERT_TRUE(again.AddEntry("reserve", {{"IMEI1", "000000000010073"}}, &next, nullptr));
  LineOutbox third(path);
  ASSERT_TRUE(third.Load(nullptr));
  ASSERT_NE(third.NextPending(), nullptr);
  EXPECT_EQ(third.NextPending()->key,
            QString::number(next) + "@" + third.NextPending()->record.at.toString(Qt::ISODateWithMs));
  ASSERT_TRUE(third.SetHandedOn(next, nullptr));
  ASSERT_TRUE(third.Compact(0, nullptr));
  LineOutbox compact(path);
  ASSERT_TRUE(compact.Load(nullptr));
  EXPECT_EQ(compact.problems().size(), 3U) << "unreadable lines are kept for whoever mends them";
  ASSERT_EQ(compact.entries().size(), 1U);
  EXPECT_EQ(compact.entries()[0].record.seq, refused);
  ASSERT_TRUE(compact.ledger().NextRun(LineRangeKind::Imei, 1, &first));
  EXPECT_EQ(first, 1008U) << "the block and what was used of it survive";
  qint64 after = 0;
  ASSERT_TRUE(compact.AddEntry("reserve", {{"IMEI1", "000000000010081"}}, &after, nullptr));
  EXPECT_GT(after, next);
}

TEST(LineOutboxFile, EntriesAreSyncedAtOnceAndHandOffNotesInRounds) {
  StationDir dir;
  LineOutbox box(dir.File("LineOutbox.txt"));
  ASSERT_TRUE(box.Load(nullptr));
  int syncs = 0;
  kestrel::log::SetSyncHookForTesting([&syncs](const QString&) { return ++syncs > 0; });
  constexpr int kEntries = LineOutbox::kMarksPerSync + 3;
  std::vector<qint64> seqs(kEntries);
  for (qint64& seq : seqs) ASSERT_TRUE(box.AddEntry("reserve", {}, &seq, nullptr));
  EXPECT_EQ(syncs, kEntries) << "every entry is on the disk before its job goes on";
  syncs = 0;
  for (int i = 0; i < LineOutbox::kMarksPerSync; ++i) ASSERT_TRUE(box.SetHandedOn(seqs[i], nullptr));
  EXPECT_EQ(syncs, 1);
  ASSERT_TRUE(box.SetHandedOn(seqs[kEntries - 3], nullptr));
  ASSERT_TRUE(box.SetRefused(seqs[kEntries - 2], "held", nullptr));
  EXPECT_EQ(syncs, 2) << "a refusal is synced at once, with the notes before it";
  ASSERT_TRUE(box.SetHandedOn(seqs[kEntries - 1], nullptr));
  ASSERT_TRUE(box.Sync(nullptr));
  ASSERT_TRUE(box.Sync(nullptr));
  EXPECT_EQ(syncs, 3) << "the end of a round syncs what it noted, once";
  kestrel::log::SetSyncHookForTesting({});

  LineOutbox again(dir.File("LineOutbox.txt"));
  ASSERT_TRUE(again.Load(nullptr));
  EXPECT_EQ(again.Pending(), 0);
  EXPECT_EQ(again.Refused(), 1);
  EXPECT_TRUE(again.problems().empty());
}

TEST(LineBlockLedger, RunsComeFromTheOldestBlockAboveWhatWasUsedWithinWhatTheLineLeftFree) {
  LineBlockLedger ledger;
  ledger.Learn({2, LineRangeKind::Imei, 200, 219, 205, 214});  // 215 known to the line
  ledger.Learn({1, LineRangeKind::Imei, 100, 109, 100, 109});
  ledger.Learn({3, LineRangeKind::Bluetooth, 0x10, 0x1f, 0x10, 0x1f});
  const struct {
    std::uint64_t used;  // 0: nothing more
    int count;
    std::uint64_t first;  // 0: no run
  } runs[] = {{0, 2, 100}, {101, 2, 102}, {300, 2, 102}, {108, 2, 205}, {0, 1, 109}, {0, 11, 0}};
  for (const auto& r : runs) {
    if (r.used != 0) ledger.Use(LineRangeKind::Imei, r.used);
    std::uint64_t first = 0;
    EXPECT_EQ(ledger.NextRun(LineRangeKind::Imei, r.count, &first), r.first != 0) << r.used;
    EXPECT_EQ(first, r.first) << r.used;
  }
  for (const std::uint64_t v : {100U, 108U, 204U, 215U, 1000U}) {
    EXPECT_FALSE(ledger.Fresh(LineRangeKind::Imei, v)) << v;
  }
  for (const std::uint64_t v : {109U, 205U, 214U}) EXPECT_TRUE(ledger.Fresh(LineRangeKind::Imei, v)) << v;
  EXPECT_EQ(ledger.Left(LineRangeKind::Imei), std::optional<std::uint64_t>(1 + 10));
  EXPECT_EQ(ledger.Left(LineRangeKind::Bluetooth), std::optional<std::uint64_t>(16));
  EXPECT_FALSE(ledger.Left(LineRangeKind::Wifi).has_value());
}
