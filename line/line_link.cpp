#include "line/line_link.h"

#include "line/line_handoff.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <utility>

namespace kestrel::line {
namespace {

// The outbox is written again without what was handed on once it is this large and empty.
constexpr qint64 kCompactBytes = 256 * 1024;
// The least time between two tries of a line that does not answer.
constexpr int kPokeGapMs = 500;
// At most this many entries wait in memory to be sent at once; beyond, Send writes them to the
// outbox.
constexpr std::size_t kMaxSending = 10000;
// How long the link's end waits for what is to be sent at once.
constexpr int kDrainMs = 1500;

// The block value of an identity (an IMEI's body, an address's number); false for a serial
// number or a value out of form.
bool BlockValue(const LineItem& item, LineRangeKind* kind, std::uint64_t* value) {
  if (!ValidLineItem(item)) return false;
  const QString k = LineKindOfSlot(item.slot);
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

std::set<std::pair<QString, QString>> ItemSet(const LineItems& items) {
  std::set<std::pair<QString, QString>> set;
  for (const LineItem& i : items) set.insert({i.slot, LineValueOf(i.slot, i.value)});
  return set;
}

QString KindWord(LineRangeKind kind) {
  switch (kind) {
    case LineRangeKind::Imei:
      return QStringLiteral("IMEI");
    case LineRangeKind::Bluetooth:
      return QStringLiteral("Bluetooth");
    case LineRangeKind::Wifi:
      return QStringLiteral("Wi-Fi");
  }
  return {};
}

}  // namespace

QString LineLinkStatusText(const LineLinkStatus& s) {
  QStringList parts;
  if (s.offline && !s.handingOn) {
    QStringList left;
    if (s.imeisLeft) left << QStringLiteral("%1 IMEIs").arg(*s.imeisLeft);
    if (s.btLeft) left << QStringLiteral("%1 BT").arg(*s.btLeft);
    if (s.wifiLeft) left << QStringLiteral("%1 Wi-Fi").arg(*s.wifiLeft);
    parts << QStringLiteral("Working offline (line database unreachable since %1): %2 phones wait "
                            "in the outbox, %3 left in the block")
                 .arg(s.since.toString(QStringLiteral("HH:mm:ss")))
                 .arg(s.waitingPhones)
                 .arg(left.isEmpty() ? QStringLiteral("nothing") : left.join(QStringLiteral(", ")));
  } else if (s.handingOn) {
    parts << QStringLiteral("Handing the outbox on to the line database: %1 phones wait")
                 .arg(s.waitingPhones);
  }
  if (s.refused > 0) {
    parts << QStringLiteral("%1 outbox entries refused by the line (kestrel-cli line outbox)")
                 .arg(s.refused);
  }
  if (s.problems > 0) {
    parts << QStringLiteral("%1 outbox lines unreadable (kestrel-cli line outbox)").arg(s.problems);
  }
  return parts.join(QStringLiteral(" \u00B7 "));
}

LineLink::LineLink(LineLinkOptions options)
    : options_(std::move(options)), outbox_(options_.outboxPath) {
  db_.Configure(options_.uri, options_.station, options_.stationLockWaitMs);
  outbox_.SetStationName(options_.station);
  QString why;
  if (!outbox_.Load(&why)) outboxError_ = why;
  if (const LineOutboxEntry* first = outbox_.NextPending();
      first != nullptr && outbox_.PendingHoldingTheLine() > 0) {
    // What waits from before goes first: the station works alone until it is handed on.
    offline_ = true;
    since_ = first->record.at.toLocalTime();
    why_ = QStringLiteral("the outbox holds entries to hand on");
  }
  thread_ = std::thread([this] { Run(); });
}

LineLink::~LineLink() {
  SetListener(nullptr);
  SetCatchUp(nullptr);
  {
    // What waits to be sent at once goes before the link does while the line answers (a moment
    // at most; otherwise it waits in the outbox for the next start).
    std::unique_lock lock(mutex_);
    if (!sending_.empty() && !offline_) {
      poked_ = true;
      wake_.notify_all();
      wake_.wait_for(lock, std::chrono::milliseconds(kDrainMs),
                     [this] { return sending_.empty() || offline_; });
    }
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // What was not sent yet waits in the outbox for the next start.
  std::lock_guard lock(mutex_);
  ParkLocked();
}

bool LineLink::Send(const QString& kind, std::vector<std::pair<QString, QString>> fields) {
  bool ok = true;
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (outboxError_.isEmpty() &&
        (offline_ || outbox_.Pending() > 0 || sending_.size() >= kMaxSending)) {
      QString why;
      ok = outbox_.AddEntry(kind, fields, nullptr, &why);
    } else if (sending_.size() < kMaxSending) {
      LineOutboxRecord r;
      r.kind = kind;
      r.at = QDateTime::currentDateTimeUtc();
      r.fields = std::move(fields);
      sending_.push_back(std::move(r));
      poked_ = true;
      queued = true;
    } else {
      ok = false;
    }
  }
  if (queued) wake_.notify_all();
  return ok;
}

void LineLink::SetCatchUp(CatchUp catchUp) {
  const bool due = static_cast<bool>(catchUp);
  {
    std::lock_guard hold(catchUpMutex_);
    catchUp_ = std::move(catchUp);
  }
  {
    std::lock_guard lock(mutex_);
    catchUpDue_ = due;
    if (due) poked_ = true;
  }
  if (due) wake_.notify_all();
}

void LineLink::ParkLocked() {
  if (sending_.empty() || !outboxError_.isEmpty()) return;
  QString why;
  if (outbox_.AddEntries({sending_.begin(), sending_.end()}, &why)) sending_.clear();
  wake_.notify_all();
}

QString LineLink::OutboxError() const {
  std::lock_guard lock(mutex_);
  return outboxError_;
}

QStringList LineLink::OutboxProblems() const {
  std::lock_guard lock(mutex_);
  return outbox_.ProblemTexts();
}

void LineLink::SetListener(std::function<void()> listener) {
  // Waits for a call in progress: once this returns, the old listener is not called again.
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
}

void LineLink::Notify() {
  std::lock_guard lock(listenerMutex_);
  if (listener_) listener_();
}

void LineLink::Poke() {
  {
    std::lock_guard lock(mutex_);
    if (!WorkLocked()) return;
    poked_ = true;
  }
  wake_.notify_all();
}

LineLinkStatus LineLink::Status() const {
  std::lock_guard lock(mutex_);
  LineLinkStatus s;
  s.offline = offline_;
  s.handingOn = handingOn_;
  s.since = since_;
  s.why = why_;
  s.waitingPhones = outbox_.Pending(QLatin1String(kEntryConfirm));
  s.waiting = outbox_.Pending();
  s.refused = outbox_.Refused();
  s.problems = static_cast<int>(outbox_.problems().size());
  s.imeisLeft = outbox_.ledger().Left(LineRangeKind::Imei);
  s.btLeft = outbox_.ledger().Left(LineRangeKind::Bluetooth);
  s.wifiLeft = outbox_.ledger().Left(LineRangeKind::Wifi);
  return s;
}

void LineLink::GoOfflineLocked(const QString& why) {
  if (!offline_) {
    offline_ = true;
    since_ = QDateTime::currentDateTime();
  }
  why_ = why;
  wake_.notify_all();
}

QString LineLink::OutageText() const {
  return QStringLiteral("no answer since %1 (%2)")
      .arg(since_.isValid() ? since_.toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("now"),
           why_);
}

LineResult LineLink::Open() {
  {
    std::lock_guard lock(mutex_);
    if (WorkLocked()) {
      poked_ = true;
      wake_.notify_all();
      if (AloneLocked()) return {};
    }
  }
  const LineResult r = db_.Connect();
  if (r.ok()) {
    LearnBlocks();
    return r;
  }
  if (r.status == LineStatus::Unreachable && OfflineAllowed()) {
    {
      std::lock_guard lock(mutex_);
      if (outboxError_.isEmpty()) GoOfflineLocked(r.message);
    }
    Notify();
  }
  return r;
}

LineResult LineLink::NextRun(LineRangeKind kind, int count, std::uint64_t* first) {
  const int block = kind == LineRangeKind::Imei ? options_.imeiBlock : options_.addressBlock;
  {
    std::lock_guard lock(mutex_);
    if (AloneLocked()) return OfflineRunLocked(kind, count, first);
  }
  const LineResult r = db_.NextRun(kind, count, block, first);
  if (r.ok()) {
    bool fresh = true;
    {
      std::lock_guard lock(mutex_);
      for (int i = 0; i < count; ++i) fresh = fresh && outbox_.ledger().Fresh(kind, *first + i);
    }
    // A block new to the station, or one the line now says more of: learn it.
    if (!fresh) LearnBlocks();
    return r;
  }
  if (r.status != LineStatus::Unreachable || !OfflineAllowed()) return r;
  LineResult alone;
  {
    std::lock_guard lock(mutex_);
    if (!outboxError_.isEmpty()) return r;
    GoOfflineLocked(r.message);
    alone = OfflineRunLocked(kind, count, first);
  }
  Notify();
  return alone;
}

LineResult LineLink::OfflineRunLocked(LineRangeKind kind, int count, std::uint64_t* first) const {
  if (!OfflineAllowed()) {
    return LineUnreachable(
        QStringLiteral("entries of the outbox wait to be handed on to the line database"));
  }
  if (outbox_.ledger().NextRun(kind, count, first)) return {};
  const bool known = outbox_.ledger().Left(kind).has_value();
  return LineUnreachable(
      OutageText() +
      (known ? QStringLiteral("; this station's %1 block is used up, %2 phones wait in the outbox")
                   .arg(KindWord(kind))
                   .arg(outbox_.Pending(QLatin1String(kEntryConfirm)))
             : QStringLiteral("; this station holds no %1 block of its own to go on with")
                   .arg(KindWord(kind))));
}

LineResult LineLink::Reserve(const LineItems& items) {
  {
    std::unique_lock lock(mutex_);
    if (AloneLocked()) {
      const LineResult r = OfflineReserveLocked(items);
      lock.unlock();
      Notify();
      return r;
    }
  }
  const LineResult r = db_.Reserve(items);
  if (r.ok()) {
    std::lock_guard lock(mutex_);
    job_ = {true, true, items};
    if (!outboxError_.isEmpty()) return r;
    // The values this job may write, kept for a start while the line does not answer.
    std::map<LineRangeKind, std::uint64_t> highest;
    for (const LineItem& item : items) {
      LineRangeKind kind{};
      std::uint64_t value = 0;
      if (BlockValue(item, &kind, &value)) highest[kind] = std::max(highest[kind], value);
    }
    QString why;
    if (!outbox_.AddMarks({highest.begin(), highest.end()}, &why)) {
      job_.open = false;
      return LineRefused(QStringLiteral("the outbox cannot be written: ") + why);
    }
    return r;
  }
  if (r.status != LineStatus::Unreachable || !OfflineAllowed()) return r;
  LineResult alone;
  {
    std::lock_guard lock(mutex_);
    if (!outboxError_.isEmpty()) return r;
    GoOfflineLocked(r.message);
    alone = OfflineReserveLocked(items);
  }
  Notify();
  return alone;
}

LineResult LineLink::OfflineReserveLocked(const LineItems& items) {
  job_.open = false;
  if (!OfflineAllowed() || !outboxError_.isEmpty()) {
    return LineUnreachable(
        QStringLiteral("entries of the outbox wait to be handed on to the line database"));
  }
  const int alone = outbox_.Pending(QLatin1String(kEntryReserve));
  if (options_.offlinePhones > 0 && alone >= options_.offlinePhones) {
    return LineUnreachable(OutageText() +
                           QStringLiteral("; %1 jobs written alone wait in the outbox, as many as "
                                          "[LINE] OfflinePhones allows")
                               .arg(alone));
  }
  for (const LineItem& item : items) {
    LineRangeKind kind{};
    std::uint64_t value = 0;
    if (!BlockValue(item, &kind, &value)) {
      return LineUnreachable(OutageText() +
                             QStringLiteral("; %1 comes from no block and needs the line's word")
                                 .arg(item.slot));
    }
    if (!outbox_.ledger().Fresh(kind, value)) {
      return LineUnreachable(OutageText() +
                             QStringLiteral("; %1 %2 is not a value of this station's own blocks: "
                                            "a typed or scanned identity needs the line's word")
                                 .arg(item.slot, item.value));
    }
  }
  std::vector<std::pair<QString, QString>> fields;
  for (const LineItem& item : items) fields.emplace_back(item.slot, item.value);
  QString why;
  if (!outbox_.AddEntry(QLatin1String(kEntryReserve), fields, nullptr, &why)) {
    return LineRefused(QStringLiteral("the outbox cannot be written: ") + why);
  }
  job_ = {true, false, items};
  return {};
}

LineResult LineLink::Confirm(const LineItems& items, const QString& stamp, const QString& record) {
  bool matches = false;
  {
    std::unique_lock lock(mutex_);
    matches = job_.open && ItemSet(job_.items) == ItemSet(items);
    if (AloneLocked()) {
      const LineResult r = matches ? OfflineConfirmLocked(items, stamp, record)
                                   : LineUnreachable(OutageText());
      lock.unlock();
      Notify();
      return r;
    }
  }
  const LineResult r = db_.Confirm(items, stamp, record);
  if (r.ok()) {
    std::lock_guard lock(mutex_);
    job_.open = false;
    return r;
  }
  if (r.status != LineStatus::Unreachable || !OfflineAllowed() || !matches) return r;
  LineResult alone;
  {
    std::lock_guard lock(mutex_);
    if (!outboxError_.isEmpty()) return r;
    GoOfflineLocked(r.message);
    alone = OfflineConfirmLocked(items, stamp, record);
  }
  Notify();
  return alone;
}

LineResult LineLink::OfflineConfirmLocked(const LineItems& items, const QString& stamp,
                                          const QString& record) {
  if (!OfflineAllowed() || !outboxError_.isEmpty()) return LineUnreachable(OutageText());
  std::vector<std::pair<QString, QString>> fields = {{QStringLiteral("stamp"), stamp},
                                                     {QStringLiteral("record"), record}};
  for (const LineItem& item : items) fields.emplace_back(item.slot, item.value);
  QString why;
  if (!outbox_.AddEntry(QLatin1String(kEntryConfirm), fields, nullptr, &why)) {
    return LineRefused(QStringLiteral("the outbox cannot be written: ") + why);
  }
  job_.open = false;
  return {};
}

void LineLink::LearnBlocks() {
  std::vector<LineBlock> blocks;
  if (!db_.OwnBlocks(&blocks).ok()) return;
  std::lock_guard lock(mutex_);
  if (!outboxError_.isEmpty()) return;
  QString why;
  for (const LineBlock& b : blocks) outbox_.AddBlock(b, &why);
}

void LineLink::Run() {
  const auto pause = std::chrono::milliseconds(std::max(options_.retryMs, 1));
  // A job starting pokes; while jobs come fast the line is still tried only this often.
  const auto gap = std::min(pause, std::chrono::milliseconds(kPokeGapMs));
  auto tried = std::chrono::steady_clock::now() - gap;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (WorkLocked()) {
        wake_.wait_for(lock, pause, [this] { return stop_ || poked_; });
        if (!stop_ && poked_ && std::chrono::steady_clock::now() < tried + gap) {
          wake_.wait_until(lock, tried + gap, [this] { return stop_; });
        }
      } else {
        wake_.wait(lock, [this] { return stop_ || poked_ || WorkLocked(); });
        // Just gone alone: the line has only now failed to answer; try again after a pause.
        if (!stop_ && !poked_) wake_.wait_for(lock, pause, [this] { return stop_ || poked_; });
      }
      if (stop_) return;
      poked_ = false;
      if (!WorkLocked()) continue;
    }
    tried = std::chrono::steady_clock::now();
    HandOn();
  }
}

void LineLink::HandOn() {
  bool outboxWork = false;
  {
    std::lock_guard lock(mutex_);
    outboxWork = offline_ || outbox_.Pending() > 0;
  }
  const LineResult connected = db_.Connect();
  if (!connected.ok()) {
    {
      std::lock_guard lock(mutex_);
      why_ = connected.message;
      ParkLocked();
    }
    Notify();
    return;
  }
  if (outboxWork && !HandOnOutbox()) return;
  CatchUpOnce();
  SendQueued();
}

bool LineLink::HandOnOutbox() {
  {
    std::lock_guard lock(mutex_);
    handingOn_ = true;
  }
  Notify();
  for (;;) {
    LineOutboxEntry entry;
    {
      std::lock_guard lock(mutex_);
      const LineOutboxEntry* next = outbox_.NextPending();
      if (stop_ || next == nullptr) {
        handingOn_ = false;
        QString why;
        outbox_.Sync(&why);  // the notes of this round; one not synced is handed on again
        if (next == nullptr) {
          // Nothing waits: the station works with the line again.
          offline_ = false;
          since_ = {};
          why_.clear();
          outbox_.Compact(kCompactBytes, &why);
        }
        break;
      }
      entry = *next;
    }
    const LineHandOffResult h = HandOnEntry(db_, entry);
    bool noted = true;
    {
      std::lock_guard lock(mutex_);
      QString why;
      if (h.outcome == LineHandOffOutcome::Unreachable) {
        handingOn_ = false;
        why_ = h.result.message;
        noted = false;
        outbox_.Sync(&why);
        ParkLocked();
      } else if (h.outcome == LineHandOffOutcome::Refused) {
        noted = outbox_.SetRefused(entry.record.seq, h.result.message, &why);
      } else {
        noted = outbox_.SetHandedOn(entry.record.seq, &why);
      }
      if (!noted && h.outcome != LineHandOffOutcome::Unreachable) {
        // The outbox cannot note it: the line has it all the same and takes it once; stop until
        // the next try.
        handingOn_ = false;
        why_ = why;
      }
    }
    Notify();
    if (!noted) return false;
  }
  LearnBlocks();
  Notify();
  std::lock_guard lock(mutex_);
  return !stop_;
}

void LineLink::CatchUpOnce() {
  {
    std::lock_guard lock(mutex_);
    if (!catchUpDue_ || stop_ || outbox_.Pending() > 0) return;
  }
  QDateTime newest;
  const LineResult r = db_.NewestJob(&newest);
  if (r.status == LineStatus::Unreachable) return;  // asked again with the next hand-off
  {
    std::lock_guard lock(mutex_);
    catchUpDue_ = false;
  }
  if (!r.ok()) return;
  std::lock_guard hold(catchUpMutex_);
  if (catchUp_) catchUp_(newest, *this);
}

void LineLink::SendQueued() {
  for (;;) {
    LineOutboxEntry entry;
    {
      std::lock_guard lock(mutex_);
      if (stop_ || sending_.empty()) return;
      if (offline_ || outbox_.Pending() > 0) {
        ParkLocked();  // behind what waits there
        return;
      }
      entry.record = sending_.front();
    }
    const LineHandOffResult h = HandOnEntry(db_, entry);
    bool refused = false;
    {
      std::lock_guard lock(mutex_);
      if (h.outcome == LineHandOffOutcome::Unreachable) {
        ParkLocked();
        return;
      }
      LineOutboxRecord sent = std::move(sending_.front());
      sending_.pop_front();
      if (sending_.empty()) wake_.notify_all();  // the link's end may wait for it
      if (h.outcome == LineHandOffOutcome::Refused && outboxError_.isEmpty()) {
        // Kept in the outbox as refused, and listed with the others.
        qint64 seq = 0;
        QString why;
        refused = outbox_.AddEntry(sent.kind, sent.fields, &seq, &why) &&
                  outbox_.SetRefused(seq, h.result.message, &why);
      }
    }
    if (refused) Notify();
  }
}

}  // namespace kestrel::line
