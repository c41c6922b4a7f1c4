// The station's link to the line database. While the line answers, a job's identities are
// the line's word: the next run of values from the station's blocks, the reservation before the
// phone is touched and the confirmation of a passed phone go to the database. When it does not
// answer (at the preparation, the reservation or the confirmation), the station goes on alone
// with what is provably its own, the values of its claimed blocks:
//
//   - the next run comes from the blocks as the station knows them (line/line_block_ledger.h);
//   - a job whose every identity is such a value is reserved in the outbox (line/line_outbox.h)
//     before it touches the phone, and its pass is confirmed there; any other job (a typed
//     identity, a serial number, an address not from a block) is refused, saying why;
//   - at most `offlinePhones` jobs wait in the outbox (default: as many as the blocks hold;
//     0: no offline work, every job asks the line as it always did);
//   - a thread of the link's own tries the line every `retryMs` (and at once when the next job
//     starts) and hands the outbox on in order; the station works with the line again once
//     nothing waits.
//
// Entries that only tell the line something (a job's summary: line/line_jobs.h) come through
// Send from any thread. The link's thread hands them on at once while the line answers and
// nothing waits in the outbox; otherwise, and whenever the line does not take one now, they go
// to the outbox behind what waits there and on from it, each once. Once the line answers, the
// station is told the newest summary the line holds of it (SetCatchUp), so that it can hand on
// what a crash between its own record and the hand-off kept from the line.
//
// Whatever the line's state, each reservation made with it leaves a mark in the outbox of the
// block values the job may write, so that a station started again while the line does not
// answer knows which values may already be in phones.
//
// Threads: NextRun and Reserve come from the window's thread, Confirm from the job's, Status
// from any; they and the link's thread share the state under one lock, and the database
// (whose calls are serialised on its own thread) is asked outside it. While the station works
// alone no call of the window's or the job's thread waits for the database.
#pragma once

#include "line/line_database.h"
#include "line/line_outbox.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::line {

struct LineLinkOptions {
  QString uri;
  QString station;
  QString outboxPath;  // the station folder's LineOutbox.txt
  int imeiBlock = 20;
  int addressBlock = 20;
  int offlinePhones = -1;  // < 0: as many as the blocks hold; 0: none
  int retryMs = 2000;
  int stationLockWaitMs = 3000;
};

struct LineLinkStatus {
  bool offline = false;    // the line did not answer: the station works alone
  bool handingOn = false;  // the line answers and the outbox is being handed on
  QDateTime since;         // local time the line stopped answering
  QString why;             // what the line last answered instead
  int waitingPhones = 0;   // passed phones whose confirmation waits in the outbox
  int waiting = 0;         // entries waiting
  int refused = 0;         // entries the line refused
  int problems = 0;        // outbox lines that could not be read
  std::optional<std::uint64_t> imeisLeft, btLeft, wifiLeft;  // values left in known blocks
};

// The status line's words for the link: empty when the line answers and nothing is to be said.
QString LineLinkStatusText(const LineLinkStatus& status);

class LineLink {
 public:
  explicit LineLink(LineLinkOptions options);
  ~LineLink();
  LineLink(const LineLink&) = delete;
  LineLink& operator=(const LineLink&) = delete;

  const LineLinkOptions& options() const { return options_; }
  LineDatabase& database() { return db_; }
  bool OfflineAllowed() const { return options_.offlinePhones != 0; }

  // Why the outbox cannot be used (empty when it can), and its lines that could not be read,
  // as "FILE:LINE: what".
  QString OutboxError() const;
  QStringList OutboxProblems() const;

  // At start-up: connects, or finds the line not answering (the result says why). With
  // entries waiting the link's thread hands them on first.
  LineResult Open();

  // As LineDatabase::NextRun, claiming blocks of the option's size; from the known blocks
  // while the line does not answer.
  LineResult NextRun(LineRangeKind kind, int count, std::uint64_t* first);
  // Before a write job touches the phone: reserves the job's identities with the line, or in
  // the outbox.
  LineResult Reserve(const LineItems& items);
  // A passed phone: the line records it, or the outbox keeps its confirmation when the job's
  // reservation was the station's own (made in the outbox, or with the line before it went).
  LineResult Confirm(const LineItems& items, const QString& stamp, const QString& record);

  // An entry of a kind the line's word does not wait on (line/line_handoff.h), with its fields,
  // to be handed on as the comment at the top tells. Any thread; never waits for the database.
  // False when it went nowhere: the outbox could not be written while it had to take it.
  bool Send(const QString& kind, std::vector<std::pair<QString, QString>> fields);

  // Called once on the link's thread (outside its lock; it may Send) when the line first
  // answers with nothing waiting in the outbox: with the start of this station's newest job
  // summary in the line, invalid when it holds none. Setting it waits for a call in progress.
  using CatchUp = std::function<void(const QDateTime& newestInLine, LineLink& link)>;
  void SetCatchUp(CatchUp catchUp);

  // The next job begins: try the line now (on the link's thread) when it did not answer.
  void Poke();
  LineLinkStatus Status() const;
  // Called on any thread, outside the link's lock, whenever the status may have changed; it
  // must not call the link. Replacing it waits for a call in progress.
  void SetListener(std::function<void()> listener);

 private:
  struct Job {
    bool open = false;
    bool withLine = false;  // reserved with the line (else in the outbox)
    LineItems items;
  };

  // Under mutex_. Alone: the station's reservations and confirmations go to the outbox. Work:
  // the link's thread has something to try or hand on.
  bool AloneLocked() const { return offline_ || outbox_.PendingHoldingTheLine() > 0; }
  bool WorkLocked() const {
    return offline_ || outbox_.Pending() > 0 || !sending_.empty() || catchUpDue_;
  }
  // What waits to be sent at once goes to the outbox instead (it stays here while the outbox
  // cannot be written).
  void ParkLocked();
  void GoOfflineLocked(const QString& why);
  LineResult OfflineRunLocked(LineRangeKind kind, int count, std::uint64_t* first) const;
  LineResult OfflineReserveLocked(const LineItems& items);
  LineResult OfflineConfirmLocked(const LineItems& items, const QString& stamp,
                                  const QString& record);
  QString OutageText() const;

  // Outside mutex_.
  void LearnBlocks();
  void Notify();
  void Run();
  void HandOn();
  bool HandOnOutbox();
  void CatchUpOnce();
  void SendQueued();

  const LineLinkOptions options_;
  LineDatabase db_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  LineOutbox outbox_;
  QString outboxError_;
  bool offline_ = false;
  bool handingOn_ = false;
  QDateTime since_;
  QString why_;
  Job job_;
  std::deque<LineOutboxRecord> sending_;  // entries to hand on at once, oldest first
  bool catchUpDue_ = false;
  bool poked_ = false;
  bool stop_ = false;
  std::mutex catchUpMutex_;
  CatchUp catchUp_;  // guarded by catchUpMutex_
  std::mutex listenerMutex_;
  std::function<void()> listener_;  // guarded by listenerMutex_
  std::thread thread_;  // last: starts once everything above is made
};

}  // namespace kestrel::line
