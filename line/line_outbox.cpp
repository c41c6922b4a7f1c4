#include "line/line_outbox.h"

#include "line/line_handoff.h"
#include "log/durable_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <utility>

namespace kestrel::line {
namespace {

// Appends without a sync; a failed write is cut back out.
bool AppendUnsynced(const QString& path, const QByteArray& bytes, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
    *error = file.errorString();
    return false;
  }
  const qint64 before = file.size();
  if (file.write(bytes) == bytes.size() && file.flush()) return true;
  *error = file.errorString();
  file.resize(before);
  return false;
}

const QString kHeader = QStringLiteral("outbox");
const QString kBlock = QStringLiteral("block");
const QString kMark = QStringLiteral("mark");
const QString kHanded = QStringLiteral("handed");
const QString kRefused = QStringLiteral("refused");

bool ParseKind(const QString& text, LineRangeKind* kind) {
  if (text == QLatin1String("IMEI")) {
    *kind = LineRangeKind::Imei;
  } else if (text == QLatin1String("BT")) {
    *kind = LineRangeKind::Bluetooth;
  } else if (text == QLatin1String("WIFI")) {
    *kind = LineRangeKind::Wifi;
  } else {
    return false;
  }
  return true;
}

bool ParseNumber(const QString& text, std::uint64_t* value) {
  bool ok = false;
  *value = text.toULongLong(&ok);
  return ok;
}

// The block value of an identity: an IMEI's body, an address's number.
bool BlockValue(const LineItem& item, LineRangeKind* kind, std::uint64_t* value) {
  const QString k = LineKindOfSlot(item.slot);
  if (!ValidLineItem(item)) return false;
  bool ok = false;
  if (k == QLatin1String("IMEI")) {
    *kind = LineRangeKind::Imei;
    *value = item.value.left(14).toULongLong(&ok);
  } else if (k == QLatin1String("BT") || k == QLatin1String("WIFI")) {
    *kind = k == QLatin1String("BT") ? LineRangeKind::Bluetooth : LineRangeKind::Wifi;
    *value = item.value.toULongLong(&ok, 16);
  }
  return ok;
}

LineOutboxRecord BlockRecord(const LineBlock& b) {
  LineOutboxRecord r;
  r.kind = kBlock;
  r.Add(QStringLiteral("id"), QString::number(b.id));
  r.Add(QStringLiteral("kind"), LineKindName(b.kind));
  r.Add(QStringLiteral("first"), QString::number(b.first));
  r.Add(QStringLiteral("last"), QString::number(b.last));
  r.Add(QStringLiteral("next"), QString::number(b.next));
  r.Add(QStringLiteral("usable"), QString::number(b.usable));
  return r;
}

LineOutboxRecord MarkRecord(const std::vector<std::pair<LineRangeKind, std::uint64_t>>& values) {
  LineOutboxRecord r;
  r.kind = kMark;
  for (const auto& [kind, value] : values) r.Add(LineKindName(kind), QString::number(value));
  return r;
}

}  // namespace

LineItems LineOutboxEntry::Items() const {
  LineItems items;
  for (const auto& [name, value] : record.fields) {
    if (!LineKindOfSlot(name).isEmpty()) items.push_back({name, value});
  }
  return items;
}

LineOutbox::LineOutbox(QString path) : path_(std::move(path)) {}

bool LineOutbox::Load(QString* why) {
  entries_.clear();
  problems_.clear();
  ledger_ = {};
  nextSeq_ = 1;
  bytes_ = 0;
  needsLineEnd_ = false;
  unsynced_ = 0;
  QFile f(path_);
  exists_ = f.exists();
  if (!exists_) return true;
  if (!f.open(QIODevice::ReadOnly)) {
    if (why != nullptr) *why = QStringLiteral("cannot read %1: %2").arg(path_, f.errorString());
    return false;
  }
  Read(f.readAll());
  return true;
}

void LineOutbox::Read(const QByteArray& all) {
  entries_.clear();
  problems_.clear();
  ledger_ = {};
  nextSeq_ = 1;
  bytes_ = all.size();
  exists_ = bytes_ > 0;
  needsLineEnd_ = !all.isEmpty() && !all.endsWith('\n');
  unsynced_ = 0;
  qint64 number = 0;
  qsizetype start = 0;
  while (start < all.size()) {
    qsizetype end = all.indexOf('\n', start);
    const bool cut = end < 0;
    if (cut) end = all.size();
    QByteArray text = all.mid(start, end - start);
    start = end + 1;
    ++number;
    if (text.endsWith('\r')) text.chop(1);
    if (text.isEmpty()) continue;
    LineOutboxRecord record;
    QString what;
    if (!DecodeOutboxRecord(text, &record, &what)) {
      problems_.push_back({number, cut ? QStringLiteral("cut (no line end), skipped")
                                       : what + QStringLiteral(", skipped"),
                           text});
      continue;
    }
    Take(record, number, text);
  }
}

void LineOutbox::Take(const LineOutboxRecord& r, qint64 number, const QByteArray& text) {
  nextSeq_ = std::max(nextSeq_, r.seq + 1);
  if (r.kind == kHeader) {
    if (station_.isEmpty()) station_ = r.Field(QStringLiteral("station"));
    bool ok = false;
    const qint64 next = r.Field(QStringLiteral("next")).toLongLong(&ok);
    if (ok) nextSeq_ = std::max(nextSeq_, next);
    return;
  }
  if (r.kind == kBlock) {
    LineBlock b;
    bool idOk = false;
    b.id = r.Field(QStringLiteral("id")).toLongLong(&idOk);
    if (!idOk || !ParseKind(r.Field(QStringLiteral("kind")), &b.kind) ||
        !ParseNumber(r.Field(QStringLiteral("first")), &b.first) ||
        !ParseNumber(r.Field(QStringLiteral("last")), &b.last) ||
        !ParseNumber(r.Field(QStringLiteral("next")), &b.next) ||
        !ParseNumber(r.Field(QStringLiteral("usable")), &b.usable) || b.last < b.first) {
      problems_.push_back({number, QStringLiteral("a block whose fields are out of form, skipped"),
                           text});
      return;
    }
    ledger_.Learn(b);
    return;
  }
  if (r.kind == kMark) {
    std::vector<std::pair<LineRangeKind, std::uint64_t>> values;
    for (const auto& [name, field] : r.fields) {
      LineRangeKind kind{};
      std::uint64_t value = 0;
      if (!ParseKind(name, &kind) || !ParseNumber(field, &value)) {
        problems_.push_back({number, QStringLiteral("a mark whose fields are out of form, skipped"),
                             text});
        return;
      }
      values.emplace_back(kind, value);
    }
    for (const auto& [kind, value] : values) ledger_.Use(kind, value);
    return;
  }
  if (r.kind == kHanded || r.kind == kRefused) {
    bool ok = false;
    const qint64 ref = r.Field(QStringLiteral("ref")).toLongLong(&ok);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const LineOutboxEntry& e) { return e.record.seq == ref; });
    if (!ok || it == entries_.end()) return;  // its entry is in a line that was not read
    if (r.kind == kHanded) {
      entries_.erase(it);
    } else {
      it->state = LineOutboxEntry::State::Refused;
      it->why = r.Field(QStringLiteral("why"));
    }
    return;
  }
  if (!LineHandOffKnows(r.kind)) {
    problems_.push_back(
        {number, QStringLiteral("an entry of kind %1, which this build does not hand on, kept")
                     .arg(r.kind),
         text});
    return;
  }
  LineOutboxEntry e;
  e.record = r;
  e.key = QStringLiteral("%1@%2").arg(r.seq).arg(r.at.toString(Qt::ISODateWithMs));
  for (const LineItem& item : e.Items()) {
    LineRangeKind kind{};
    std::uint64_t value = 0;
    if (BlockValue(item, &kind, &value)) ledger_.Use(kind, value);
  }
  entries_.push_back(std::move(e));
}

QStringList LineOutbox::ProblemTexts() const {
  QStringList texts;
  for (const LineOutboxProblem& p : problems_) {
    texts << QStringLiteral("%1:%2: %3").arg(QDir::toNativeSeparators(path_)).arg(p.line).arg(p.what);
  }
  return texts;
}

const LineOutboxEntry* LineOutbox::NextPending() const {
  for (const LineOutboxEntry& e : entries_) {
    if (e.state == LineOutboxEntry::State::Pending) return &e;
  }
  return nullptr;
}

int LineOutbox::Pending(const QString& kind) const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [&](const LineOutboxEntry& e) {
    return e.state == LineOutboxEntry::State::Pending && (kind.isEmpty() || e.record.kind == kind);
  }));
}

int LineOutbox::PendingHoldingTheLine() const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [](const LineOutboxEntry& e) {
    return e.state == LineOutboxEntry::State::Pending && LineHandOffHoldsTheLine(e.record.kind);
  }));
}

int LineOutbox::Refused() const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [](const LineOutboxEntry& e) {
    return e.state == LineOutboxEntry::State::Refused;
  }));
}

LineOutboxEntry* LineOutbox::Find(qint64 seq) {
  for (LineOutboxEntry& e : entries_) {
    if (e.record.seq == seq) return &e;
  }
  return nullptr;
}

QByteArray LineOutbox::Header() const {
  LineOutboxRecord h;
  h.seq = 0;
  h.kind = kHeader;
  h.at = QDateTime::currentDateTimeUtc();
  h.Add(QStringLiteral("station"), station_);
  h.Add(QStringLiteral("next"), QString::number(nextSeq_));
  return EncodeOutboxRecord(h);
}

bool LineOutbox::Write(const QByteArray& bytes, QString* why, bool durable) {
  // A durable line is synced (with the lines before it) before it returns; a failed append
  // leaves nothing to be joined by the next line.
  QString error;
  const bool written = durable ? log::AppendDurably(path_, bytes, nullptr, &error)
                               : AppendUnsynced(path_, bytes, &error);
  if (!written) {
    if (why != nullptr) *why = QStringLiteral("cannot write %1: %2").arg(path_, error);
    return false;
  }
  unsynced_ = durable ? 0 : unsynced_ + 1;
  bytes_ = QFileInfo(path_).size();
  return true;
}

bool LineOutbox::Sync(QString* why) {
  return unsynced_ == 0 || Write(QByteArray(), why, true);
}

bool LineOutbox::Append(LineOutboxRecord record, QString* why, bool durable) {
  std::vector<LineOutboxRecord> one;
  one.push_back(std::move(record));
  return AppendAll(std::move(one), why, durable);
}

bool LineOutbox::AppendAll(std::vector<LineOutboxRecord> records, QString* why, bool durable) {
  QByteArray bytes;
  if (needsLineEnd_) bytes += '\n';
  if (!exists_) bytes += Header();
  qint64 seq = nextSeq_;
  for (LineOutboxRecord& record : records) {
    record.seq = seq++;
    if (!record.at.isValid()) record.at = QDateTime::currentDateTimeUtc();
    bytes += EncodeOutboxRecord(record);
  }
  if (!Write(bytes, why, durable || !exists_)) return false;
  nextSeq_ = seq;
  exists_ = true;
  needsLineEnd_ = false;
  for (const LineOutboxRecord& record : records) Take(record, 0, {});
  return true;
}

bool LineOutbox::AddEntry(const QString& kind, const std::vector<std::pair<QString, QString>>& fields,
                          qint64* seq, QString* why) {
  LineOutboxRecord r;
  r.kind = kind;
  r.fields = fields;
  const qint64 number = nextSeq_;
  if (!Append(std::move(r), why)) return false;
  if (seq != nullptr) *seq = number;
  return true;
}

bool LineOutbox::AddEntries(std::vector<LineOutboxRecord> records, QString* why) {
  if (records.empty()) return true;
  return AppendAll(std::move(records), why);
}

bool LineOutbox::AddBlock(const LineBlock& block, QString* why) {
  const auto& known = ledger_.blocks();
  const auto it = std::find_if(known.begin(), known.end(),
                               [&](const LineBlock& b) { return b.id == block.id; });
  const bool changed = it == known.end() || it->first != block.first || it->last != block.last ||
                       it->usable != block.usable || it->kind != block.kind;
  if (!changed) {
    ledger_.Learn(block);  // the line's next value, kept in memory; the marks stand for it
    return true;
  }
  return Append(BlockRecord(block), why);
}

bool LineOutbox::AddMarks(const std::vector<std::pair<LineRangeKind, std::uint64_t>>& values,
                          QString* why) {
  // The values above what their blocks' marks say already; one line for them all.
  std::vector<std::pair<LineRangeKind, std::uint64_t>> news;
  for (const auto& [kind, value] : values) {
    for (const LineBlock& b : ledger_.blocks()) {
      if (b.kind != kind || value < b.first || value > b.last) continue;
      const auto used = ledger_.UsedThrough(b.id);
      if (!used.has_value() || *used < value) news.emplace_back(kind, value);
      break;
    }
  }
  if (news.empty()) return true;
  return Append(MarkRecord(news), why);
}

bool LineOutbox::SetHandedOn(qint64 seq, QString* why) {
  LineOutboxRecord r;
  r.kind = kHanded;
  r.Add(QStringLiteral("ref"), QString::number(seq));
  return Append(std::move(r), why, unsynced_ + 1 >= kMarksPerSync);
}

bool LineOutbox::SetRefused(qint64 seq, const QString& reason, QString* why) {
  LineOutboxRecord r;
  r.kind = kRefused;
  r.Add(QStringLiteral("ref"), QString::number(seq));
  r.Add(QStringLiteral("why"), reason);
  return Append(std::move(r), why);
}

bool LineOutbox::Compact(qint64 maxBytes, QString* why) {
  if (Pending() > 0 || bytes_ <= maxBytes) return true;
  QByteArray text = Header();
  qint64 seq = nextSeq_;
  auto add = [&](LineOutboxRecord r) {
    r.seq = seq++;
    r.at = QDateTime::currentDateTimeUtc();
    text += EncodeOutboxRecord(r);
  };
  for (const LineBlock& b : ledger_.blocks()) {
    add(BlockRecord(b));
    if (const auto used = ledger_.UsedThrough(b.id)) add(MarkRecord({{b.kind, *used}}));
  }
  for (const LineOutboxEntry& e : entries_) {
    text += EncodeOutboxRecord(e.record);
    LineOutboxRecord refused;
    refused.kind = kRefused;
    refused.Add(QStringLiteral("ref"), QString::number(e.record.seq));
    refused.Add(QStringLiteral("why"), e.why);
    add(refused);
  }
  // Lines that could not be read, and entries of kinds this build does not know, as they were.
  for (const LineOutboxProblem& p : problems_) text += p.text + '\n';
  QSaveFile out(path_);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit() ||
      !log::SyncFolderOf(path_)) {
    if (why != nullptr) *why = QStringLiteral("cannot write %1: %2").arg(path_, out.errorString());
    return false;
  }
  nextSeq_ = seq;
  return Load(why);
}

}  // namespace kestrel::line
