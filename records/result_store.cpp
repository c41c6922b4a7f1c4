#include "records/result_store.h"

#include "log/trace_log.h"
#include "log/durable_file.h"
#include "line/line_uri.h"
#include "records/result_text.h"
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QByteArray>
#include <QStringList>

namespace kestrel::records {
namespace {

constexpr int kMessageUsed = 133;
constexpr int kMessageStoreFailed = 134;
constexpr int kMessageRepeated = 164;

QString StoreFailedText() {
  return resources::LoadString(kMessageStoreFailed);
}

// The identities a write job puts into the phone under these settings: IMEI1-IMEI4 as enabled,
// BT with BT_ADDR, WIFI with WIFI_ADDR, SN1/SN2 with WriteSN and their switch.
line::LineItems JobLineItems(const config::StationSettings& s, const RecordIdentities& ids) {
  line::LineItems items;
  if (s.IMEI1Enabled != 0) items.push_back({QStringLiteral("IMEI1"), ids.IMEI1});
  if (s.IMEI2Enabled != 0) items.push_back({QStringLiteral("IMEI2"), ids.IMEI2});
  if (s.IMEI3Enabled != 0) items.push_back({QStringLiteral("IMEI3"), ids.IMEI3});
  if (s.IMEI4Enabled != 0) items.push_back({QStringLiteral("IMEI4"), ids.IMEI4});
  if (s.BT_ADDR != 0) items.push_back({QStringLiteral("BT"), ids.BT});
  if (s.WIFI_ADDR != 0) items.push_back({QStringLiteral("WIFI"), ids.WIFI});
  if (s.WriteSN != 0 && s.SN1Enabled != 0) items.push_back({QStringLiteral("SN1"), ids.SN1});
  if (s.WriteSN != 0 && s.SN2Enabled != 0) items.push_back({QStringLiteral("SN2"), ids.SN2});
  return items;
}

}  // namespace

bool UsesDatabase(const config::StationSettings& s) {
  return s.SaveIMEI != 0 && s.SaveToTxt == 0;
}

ImeiRow ComposeImeiRow(const config::StationSettings& s, const RecordIdentities& ids,
                       const QString& stamp) {
  ImeiRow row;
  row.emplace_back(QStringLiteral("IMEI"), ids.IMEI1);
  if (s.IMEI2Enabled != 0) row.emplace_back(QStringLiteral("IMEI2"), ids.IMEI2);
  if (s.IMEI3Enabled != 0) row.emplace_back(QStringLiteral("IMEI3"), ids.IMEI3);
  if (s.IMEI4Enabled != 0) row.emplace_back(QStringLiteral("IMEI4"), ids.IMEI4);
  if (s.BT_ADDR != 0) row.emplace_back(QStringLiteral("BLUETOOTH ADDR"), ids.BT);
  if (s.WIFI_ADDR != 0) row.emplace_back(QStringLiteral("WIFI MAC ADDR"), ids.WIFI);
  if (s.SN1Enabled != 0) row.emplace_back(QStringLiteral("SN1"), ids.SN1);
  if (s.SN2Enabled != 0) row.emplace_back(QStringLiteral("SN2"), ids.SN2);
  row.emplace_back(QStringLiteral("Time"), stamp);
  return row;
}

ResultStore::ResultStore(const QString& stationFolder)
    : folder_(stationFolder),
      textPath_(stationFolder + QStringLiteral("/IMEI.txt")),
      databasePath_(stationFolder + QStringLiteral("/IMEI.mdb")) {}

bool ResultStore::SaveResult(const config::StationSettings& settings, const RecordIdentities& ids,
                             ResultReport& report, bool* mayBeRecorded) {
  return SaveResultAt(settings, ids, report, QDateTime::currentDateTime(), mayBeRecorded);
}

bool ResultStore::SaveResultAt(const config::StationSettings& s, const RecordIdentities& ids,
                               ResultReport& report, const QDateTime& when, bool* mayBeRecorded) {
  if (mayBeRecorded != nullptr) *mayBeRecorded = false;
  // The line first: a phone it does not take is not recorded anywhere.
  if (UsesLine(s)) {
    const line::LineItems items = JobLineItems(s, ids);
    if (!items.empty()) {
      const QString stamp = FormatSaveStamp(when);
      const line::LineResult r =
          link(s).Confirm(items, stamp, QString::fromLatin1(ComposeResultLine(s, ids, stamp)).trimmed());
      if (!r.ok()) {
        report.SetResultText(LineRefusalText(r));
        report.ShowFailResult();
        return false;
      }
    }
  }
  // A station that writes only addresses or serial numbers keeps no record.
  if (s.IMEI1Enabled == 0 && s.IMEI2Enabled == 0 && s.IMEI3Enabled == 0) return true;
  if (s.SaveIMEI == 0) return true;
  const QString stamp = FormatSaveStamp(when);
  bool saved = false;
  if (s.SaveToTxt != 0) {
    saved = log::AppendDurably(textPath_, ComposeResultLine(s, ids, stamp), mayBeRecorded);
  } else {
    saved = database_.Insert(ComposeImeiRow(s, ids, stamp));
  }
  if (!saved) {
    report.SetResultText(StoreFailedText());
    report.ShowFailResult();
  }
  return saved;
}

bool ResultStore::CheckImeiReuse(const config::StationSettings& s, int index, const QString& imei,
                                 ResultReport& report) {
  bool present = false;
  bool failed = false;
  if (UsesDatabase(s)) {
    const ImeiDatabase::Lookup r = database_.Contains(imei);
    present = r == ImeiDatabase::Lookup::Present;
    failed = r == ImeiDatabase::Lookup::Error;
  } else {
    const TextLookup r = FindInResultText(textPath_, imei);
    present = r == TextLookup::Present;
    failed = r == TextLookup::Unreadable;
  }
  if (failed) {
    report.SetResultText(StoreFailedText());
    return false;
  }
  if (present) {
    report.SetResultText(resources::FormatString(kMessageUsed, {std::int64_t{index}}));
    return false;
  }
  return true;
}

void ResultStore::EnsureResultText(config::MessageSink& messages) {
  if (!log::TouchForAppend(textPath_)) messages.ShowMessage(StoreFailedText());
}

void ResultStore::OpenImeiDatabase(config::MessageSink& messages) {
  if (!database_.Open(databasePath_)) messages.ShowMessage(StoreFailedText());
}

void ResultStore::CloseImeiDatabase() {
  database_.Close();
}

void ResultStore::OpenForSettings(const config::StationSettings& s, config::MessageSink& messages) {
  lineNotice_.clear();
  lineInUse_.store(UsesLine(s));
  if (UsesLine(s)) OpenLine(s, messages);
  if (UsesDatabase(s)) {
    OpenImeiDatabase(messages);
  } else if (s.SaveToTxt != 0) {
    EnsureResultText(messages);
  }
}

line::LineLink& ResultStore::link(const config::StationSettings& s) {
  line::LineLinkOptions o;
  o.uri = s.LineDatabase;
  o.station = s.LineStation;
  o.outboxPath = folder_ + QStringLiteral("/LineOutbox.txt");
  o.imeiBlock = s.LineImeiBlock;
  o.addressBlock = s.LineAddressBlock;
  o.offlinePhones = s.LineOfflinePhones;
  if (!link_ || o.uri != linkOptions_.uri || o.station != linkOptions_.station ||
      o.imeiBlock != linkOptions_.imeiBlock || o.addressBlock != linkOptions_.addressBlock ||
      o.offlinePhones != linkOptions_.offlinePhones) {
    std::lock_guard lock(linkMutex_);
    link_.reset();  // its thread ends before the next one reads the outbox
    linkOptions_ = o;
    link_ = std::make_unique<line::LineLink>(o);
    link_->SetListener(lineListener_);
    link_->SetCatchUp(lineCatchUp_);
  }
  return *link_;
}

void ResultStore::HandOnJob(const line::LineJob& job) {
  if (!lineInUse_.load()) return;
  std::lock_guard lock(linkMutex_);
  if (link_) link_->Send(QLatin1String(line::kEntryJob), line::LineJobFields(job));
}

void ResultStore::SetLineCatchUp(line::LineLink::CatchUp catchUp) {
  lineCatchUp_ = std::move(catchUp);
  std::lock_guard lock(linkMutex_);
  if (link_) link_->SetCatchUp(lineCatchUp_);
}

void ResultStore::PokeLine() {
  if (link_) link_->Poke();
}

void ResultStore::SetLineListener(std::function<void()> listener) {
  lineListener_ = std::move(listener);
  if (link_) link_->SetListener(lineListener_);
}

QString ResultStore::LineNotice() const {
  QStringList words;
  if (!lineNotice_.isEmpty()) words << lineNotice_;
  if (link_) {
    const QString state = line::LineLinkStatusText(link_->Status());
    if (!state.isEmpty()) words << state;
  }
  return words.join(QStringLiteral(" | "));
}

void ResultStore::OpenLine(const config::StationSettings& s, config::MessageSink& messages) {
  line::LineLink& l = link(s);
  line::LineConnection connection;
  lineNotice_.clear();
  if (line::ParseLineUri(s.LineDatabase, &connection) && !connection.password.isEmpty()) {
    lineNotice_ = QStringLiteral("Line database: the password stands in Kestrel.ini; move it to "
                                 "the password file (~/.pgpass or PGPASSFILE)");
  }
  const QStringList problems = l.OutboxProblems();
  if (!problems.isEmpty()) {
    messages.ShowMessage(QStringLiteral("Lines of the line outbox that cannot be read are skipped "
                                        "(kestrel-cli line outbox lists them):\n") +
                         problems.join(QLatin1Char('\n')));
  }
  if (!l.OutboxError().isEmpty()) {
    messages.ShowMessage(QStringLiteral("Line outbox: %1\nThe station does not work offline.")
                             .arg(l.OutboxError()));
  }
  const line::LineResult r = l.Open();
  if (!r.ok()) {
    const line::LineLinkStatus status = l.Status();
    QString then = QStringLiteral("\nWrite jobs are refused until the line database answers.");
    if (status.offline && status.imeisLeft.value_or(0) + status.btLeft.value_or(0) +
                                  status.wifiLeft.value_or(0) > 0) {
      then = QStringLiteral("\nThe station works offline from its own blocks and hands its "
                            "phones on when the line database answers.");
    }
    messages.ShowMessage(LineRefusalText(r) + then);
    return;
  }
  if (l.Status().offline) return;  // the outbox goes first; reservations are asked after it
  line::LineDatabase& db = l.database();
  line::LineItems held;
  if (db.Reservations(&held).ok() && !held.empty()) {
    QStringList values;
    for (const line::LineItem& item : held) values << item.slot + QLatin1Char(' ') + item.value;
    messages.ShowMessage(
        QStringLiteral("Station %1 holds identities reserved by a job that did not finish: %2.\n"
                       "They stay with this station for its next phone. If that job's phone was "
                       "written, set it aside for rework.")
            .arg(db.ActingStation(), values.join(QStringLiteral(", "))));
  }
}

bool ResultStore::ReserveForJob(const config::StationSettings& s, const RecordIdentities& ids,
                                ResultReport& report) {
  if (!UsesLine(s)) return true;
  const line::LineItems items = JobLineItems(s, ids);
  if (items.empty()) return true;
  const line::LineResult r = link(s).Reserve(items);
  if (r.ok()) return true;
  report.SetResultText(LineRefusalText(r));
  return false;
}

bool ResultStore::NextLineRun(const config::StationSettings& s, line::LineRangeKind kind, int count,
                              std::uint64_t* first, QString* why) {
  const line::LineResult r = link(s).NextRun(kind, count, first);
  if (r.ok()) return true;
  *why = LineRefusalText(r);
  return false;
}

QString LineRefusalText(const line::LineResult& r) {
  if (r.status == line::LineStatus::Refused && !r.holder.isEmpty()) {
    QString how = QStringLiteral("reserved by");
    if (r.state == QLatin1String("passed")) how = QStringLiteral("passed at");
    if (r.state == QLatin1String("block")) how = QStringLiteral("in the block of");
    return resources::LoadString(kMessageRepeated) + QLatin1Char('\n') +
           QStringLiteral("%1 %2 %3 %4").arg(r.slot, r.value, how, r.holder);
  }
  if (r.status == line::LineStatus::Refused) return QStringLiteral("Line database: ") + r.message;
  return QStringLiteral("Line database unreachable: %1").arg(r.message);
}

void ResultStore::WriteImeiLogRecord(int cycle, const QString& text) const {
  records::WriteImeiLogRecord(folder_, cycle, text);
}

void WriteImeiLogRecord(const QString& stationFolder, int cycle, const QString& text) {
  log::TraceLog trace;
  const QByteArray folder = (stationFolder + QStringLiteral("/Log")).toLocal8Bit();
  trace.SetOption(log::kOptionLogFolder, log::kFolderExact, folder.constData());
  if (trace.Open("IMEI.log", 0x7000, 3, 0) == 0) return;
  const std::wstring wide = text.toStdWString();
  trace.LogFormatW(3, L"%d,%s\n", cycle, wide.c_str());
  trace.Close();
}

}  // namespace kestrel::records
