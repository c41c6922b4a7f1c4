// The station's result store: IMEI.txt or IMEI.mdb in the station folder, chosen by SaveIMEI
// and SaveToTxt:
//
//   SaveIMEI SaveToTxt | SaveResult writes to | CheckImeiReuse reads | at start-up and after
//   Settings 0        0         | nothing              | IMEI.txt             | nothing 0        1
//   | nothing              | IMEI.txt             | EnsureResultText 1        1         | IMEI.txt
//   | IMEI.txt             | EnsureResultText 1        0         | IMEI.mdb             | IMEI.mdb
//   | OpenImeiDatabase
//
// Messages: 133 "IMEI%d  ..." for a used IMEI, 134 "Open saving IMEI log file fail!" for a store
// that cannot be read or written. Results go to the caller's ResultReport; message boxes
// (EnsureResultText, OpenImeiDatabase) to its MessageSink.
//
// Threads: OpenImeiDatabase, CloseImeiDatabase, CheckImeiReuse and EnsureResultText are called
// on the window thread, SaveResult and WriteImeiLogRecord on the job thread; the database runs
// every operation on a thread of its own (records/imei_database.h). As in the station, one job
// at a time: the text file is never opened by two operations at once.
#pragma once

#include "config/message_sink.h"
#include "config/station_settings.h"
#include "records/imei_database.h"
#include "line/line_database.h"
#include "line/line_link.h"
#include "records/record_identities.h"
#include "records/result_report.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace kestrel::records {

// Whether the settings select IMEI.mdb (SaveIMEI on, SaveToTxt off) rather than IMEI.txt.
bool UsesDatabase(const config::StationSettings& settings);

// The row of a saved phone: IMEI, then IMEI2-IMEI4, BLUETOOTH ADDR, WIFI MAC ADDR, SN1, SN2 as
// their settings enable them (SN columns follow SN1Enabled/SN2Enabled alone), then Time.
ImeiRow ComposeImeiRow(const config::StationSettings& settings, const RecordIdentities& ids,
                       const QString& stamp);

class ResultStore {
 public:
  // `stationFolder` holds IMEI.txt, IMEI.mdb and Log/.
  explicit ResultStore(const QString& stationFolder);

  const QString& stationFolder() const { return folder_; }
  const QString& textPath() const { return textPath_; }
  const QString& databasePath() const { return databasePath_; }

  // Saves a written phone. True when saved, or when nothing was to be saved (SaveIMEI off, or
  // none of IMEI1-IMEI3 enabled). False when the store could not be written: the result
  // message is then 134 and has been shown in the Fail state. A line of IMEI.txt is synced to
  // the disk, a row of IMEI.mdb committed, before true is returned. On false `*mayBeRecorded`
  // (when given) tells whether the phone's line may be in IMEI.txt all the same (written whole,
  // its sync failed): its IMEIs must then not be offered again.
  bool SaveResult(const config::StationSettings& settings, const RecordIdentities& ids,
                  ResultReport& report, bool* mayBeRecorded = nullptr);
  // SaveResult with the save time given.
  bool SaveResultAt(const config::StationSettings& settings, const RecordIdentities& ids,
                    ResultReport& report, const QDateTime& when, bool* mayBeRecorded = nullptr);

  // True when IMEI number `index` (1-4) of the phone, `imei`, may be used. False when the store
  // holds it (result message 133 with `index`) or cannot be read (134). Only sets the result
  // message. IMEI.txt: found anywhere in any line; IMEI.mdb: in the column IMEI only.
  bool CheckImeiReuse(const config::StationSettings& settings, int index, const QString& imei,
                      ResultReport& report);

  // Creates IMEI.txt when missing; a message box with 134 when it cannot be opened.
  void EnsureResultText(config::MessageSink& messages);

  // Opens IMEI.mdb (never creating it); a message box with 134 when that fails, after which
  // every database operation fails with 134 until the next successful open.
  void OpenImeiDatabase(config::MessageSink& messages);
  void CloseImeiDatabase();

  // The start-up and after-Settings step of the table above.
  void OpenForSettings(const config::StationSettings& settings, config::MessageSink& messages);

  // The IMEI.log record of a finished job of the power-supply repeat run (see WriteImeiLogRecord).
  void WriteImeiLogRecord(int cycle, const QString& text) const;

  ImeiDatabase& database() { return database_; }

  // --- The line database ([LINE] Database; nothing of it is used while that is empty) ---
  //
  // Start-up and after Settings (OpenForSettings): connects, and tells the operator when the
  // database cannot be reached (the station then works offline from its own blocks, as
  // line/line_link.h tells), when lines of the outbox cannot be read, or when this station
  // holds reservations of an unfinished job.
  // ReserveForJob, before a write job touches the phone: reserves every identity the job
  // writes; refused with message 164, naming the value and who holds it, or with a plain
  // "line database unreachable" message saying why the job cannot go on alone. SaveResult
  // confirms them first when the phone passed: a phone neither the line nor the outbox takes
  // is not saved and fails with that message. Every call reconnects when the connection went
  // away.
  bool UsesLine(const config::StationSettings& settings) const {
    return !settings.LineDatabase.isEmpty();
  }
  void OpenLine(const config::StationSettings& settings, config::MessageSink& messages);
  bool ReserveForJob(const config::StationSettings& settings, const RecordIdentities& ids,
                     ResultReport& report);
  // The first of `count` consecutive values of a kind for this station's next phone (its
  // blocks, claiming from the line's ranges); false with the message in *why.
  bool NextLineRun(const config::StationSettings& settings, line::LineRangeKind kind, int count,
                   std::uint64_t* first, QString* why);
  line::LineLink& link(const config::StationSettings& settings);
  line::LineDatabase& line(const config::StationSettings& settings) {
    return link(settings).database();
  }
  // A job is starting: a line that did not answer is tried again now (off this thread).
  void PokeLine();
  // A job's summary for the line (line/line_jobs.h), from any thread: handed on by the link
  // (line/line_link.h), never waiting for the database; nothing while the settings last opened
  // use no line.
  void HandOnJob(const line::LineJob& job);
  // What a link hears once the line answers (line::LineLink::SetCatchUp), kept for the links
  // made later too. Window thread.
  void SetLineCatchUp(line::LineLink::CatchUp catchUp);
  // Called on any thread when the line's status for the status line may have changed.
  void SetLineListener(std::function<void()> listener);
  // The words about the line for the status line: its set-up (a password in Kestrel.ini) and
  // its state (working offline, the outbox); empty when there are none.
  QString LineNotice() const;

 private:
  QString folder_;
  QString textPath_;
  QString databasePath_;
  ImeiDatabase database_;
  // Made with the [LINE] settings it was made for; replaced only between jobs, under linkMutex_
  // so that the record writer's thread (HandOnJob) never meets one half gone.
  std::unique_ptr<line::LineLink> link_;
  std::mutex linkMutex_;
  std::atomic<bool> lineInUse_{false};
  line::LineLinkOptions linkOptions_;
  std::function<void()> lineListener_;
  line::LineLink::CatchUp lineCatchUp_;
  QString lineNotice_;
};

// The text of a line-database refusal: message 164 with the value and its holder (or the
// station whose block it lies in), or the unreachable message with the reason.
QString LineRefusalText(const line::LineResult& result);

// Appends "<cycle>,<text>\n" as one trace-log line (time prefix, blank, text, CR LF) to
// <stationFolder>/Log/IMEI.log: a TraceLog opened with flags 0x7000, level 3, no size limit,
// written at level 3 and closed again. Best effort: a failure is not reported.
void WriteImeiLogRecord(const QString& stationFolder, int cycle, const QString& text);

}  // namespace kestrel::records
