// The station's line outbox: LineOutbox.txt in the station folder, a journal of what the
// station did while the line database did not answer, and of what it needs to go on alone.
// Each line is one record (line/line_outbox_format.h), appended and synced to the disk before
// the call returns, as durably as an IMEI.txt line.
//
// Records:
//   outbox   (number 0, the first line) id=<uuid> station=<name>: the outbox's id, which with an
//            entry's number is the entry's key in the line, and the next number after compaction
//   block    id kind first last next usable: a block of the station's, as the line told it
//   mark     IMEI=<body> BT=<n> WIFI=<n>: block values the station may have written into a phone
//   handed   ref=<number>: the entry of that number was handed on
//   refused  ref=<number> why=<text>: the line refused it; it is kept and listed
//   anything else is an entry to hand on, of the kind its name says (line/line_handoff.h):
//   reserve  <slot>=<value>...: a job's identities, written before the job touched the phone
//   confirm  stamp record <slot>=<value>...: the phone passed
//   job      start ms mode kind outcome [step code] [message] [msgid] [imei]: a job's summary
//            (line/line_jobs.h), which the station's reservations do not wait on
//
// A line that cannot be read (cut by a crash, changed by hand, of a later format) is reported
// with its number and skipped; the lines after it count as ever. An entry of a kind this build
// does not hand on is reported the same way and kept. Nothing is removed but entries handed on,
// and those only by Compact, when nothing waits.
//
// Not thread-safe: its owner (line/line_link.h) serialises the calls.
#pragma once

#include "line/line_block_ledger.h"
#include "line/line_identities.h"
#include "line/line_outbox_format.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace kestrel::line {

struct LineOutboxEntry {
  enum class State { Pending, HandedOn, Refused };
  LineOutboxRecord record;  // seq, kind, time and fields as written
  State state = State::Pending;
  QString why;  // a refusal's reason
  QString key;  // the line's key: the outbox's id, ':', the number

  // The identities among the fields (IMEI1 ... SN2), in the order written.
  LineItems Items() const;
};

struct LineOutboxProblem {
  qint64 line = 0;  // 1-based
  QString what;
  QByteArray text;  // the line as it stands in the file
};

class LineOutbox {
 public:
  explicit LineOutbox(QString path);

  const QString& path() const { return path_; }
  // Reads the file (a missing one is an empty outbox, made with the first append). False only
  // when it exists and cannot be read.
  bool Load(QString* why);
  // As Load, from the file's bytes already read (the file is written as they say).
  void Read(const QByteArray& bytes);

  const QString& id() const { return id_; }
  const std::vector<LineOutboxProblem>& problems() const { return problems_; }
  // Each problem as "FILE:LINE: what".
  QStringList ProblemTexts() const;
  const LineBlockLedger& ledger() const { return ledger_; }
  // Entries to hand on and refused ones, in the order written (handed ones are dropped).
  const std::vector<LineOutboxEntry>& entries() const { return entries_; }
  const LineOutboxEntry* NextPending() const;
  // Entries waiting (of one kind, or of all when empty; or of the kinds the line's word waits
  // on), and refused.
  int Pending(const QString& kind = {}) const;
  int PendingHoldingTheLine() const;
  int Refused() const;

  // Appends an entry of `kind` with the fields given; *seq receives its number. The values of
  // blocks among its identities count as used.
  bool AddEntry(const QString& kind, const std::vector<std::pair<QString, QString>>& fields,
                qint64* seq, QString* why);
  // Appends the entries in one write (each record's kind and fields; their numbers are given
  // here).
  bool AddEntries(std::vector<LineOutboxRecord> records, QString* why);
  // A block as the line tells it (written when it is new or the line's word on it changed).
  bool AddBlock(const LineBlock& block, QString* why);
  // Values that may be in a phone, one line for them all (written when one of them is above
  // what its block's marks say; values of no known block count for nothing).
  bool AddMarks(const std::vector<std::pair<LineRangeKind, std::uint64_t>>& values, QString* why);
  // An entry handed on. The note is synced with every kMarksPerSync-th one, with the next
  // durable line, or by Sync: one lost to a crash only has its entry handed on again, which the
  // line takes once. A refusal is synced at once.
  bool SetHandedOn(qint64 seq, QString* why);
  bool SetRefused(qint64 seq, const QString& reason, QString* why);
  // Makes the notes written so far durable.
  bool Sync(QString* why);
  static constexpr int kMarksPerSync = 64;

  // When nothing waits and the file is larger than `maxBytes`: writes it again with what still
  // counts (the header, the blocks, one mark per block, the refused entries, and the lines that
  // could not be read or are of kinds this build does not know, as they were), replacing the old
  // file at once.
  bool Compact(qint64 maxBytes, QString* why);
  qint64 FileBytes() const { return bytes_; }

  // The station name written into a new outbox's header (for whoever reads the file).
  void SetStationName(const QString& station) { station_ = station; }

 private:
  void Take(const LineOutboxRecord& record, qint64 lineNumber, const QByteArray& text);
  bool Append(LineOutboxRecord record, QString* why, bool durable = true);
  bool AppendAll(std::vector<LineOutboxRecord> records, QString* why, bool durable = true);
  bool Write(const QByteArray& bytes, QString* why, bool durable);
  LineOutboxEntry* Find(qint64 seq);
  QByteArray Header() const;

  QString path_;
  QString station_;
  QString id_;
  qint64 nextSeq_ = 1;
  qint64 bytes_ = 0;
  bool exists_ = false;
  bool needsLineEnd_ = false;  // the file ends in a cut line: the next append starts a new one
  int unsynced_ = 0;           // lines written since the last sync
  std::vector<LineOutboxEntry> entries_;
  std::vector<LineOutboxProblem> problems_;
  LineBlockLedger ledger_;
};

}  // namespace kestrel::line
