#include "records/result_store.h"

#include "log/trace_log.h"
#include "records/durable_file.h"
#include "records/result_text.h"
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QByteArray>

namespace kestrel::records {
namespace {

constexpr int kMessageUsed = 133;
constexpr int kMessageStoreFailed = 134;

QString StoreFailedText() {
  return resources::LoadString(kMessageStoreFailed);
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
                             ResultReport& report) {
  return SaveResultAt(settings, ids, report, QDateTime::currentDateTime());
}

bool ResultStore::SaveResultAt(const config::StationSettings& s, const RecordIdentities& ids,
                               ResultReport& report, const QDateTime& when) {
  // A station that writes only addresses or serial numbers keeps no record.
  if (s.IMEI1Enabled == 0 && s.IMEI2Enabled == 0 && s.IMEI3Enabled == 0) return true;
  if (s.SaveIMEI == 0) return true;
  const QString stamp = FormatSaveStamp(when);
  bool saved = false;
  if (s.SaveToTxt != 0) {
    saved = AppendDurably(textPath_, ComposeResultLine(s, ids, stamp));
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
  if (!TouchForAppend(textPath_)) messages.ShowMessage(StoreFailedText());
}

void ResultStore::OpenImeiDatabase(config::MessageSink& messages) {
  if (!database_.Open(databasePath_)) messages.ShowMessage(StoreFailedText());
}

void ResultStore::CloseImeiDatabase() {
  database_.Close();
}

void ResultStore::OpenForSettings(const config::StationSettings& s, config::MessageSink& messages) {
  if (UsesDatabase(s)) {
    OpenImeiDatabase(messages);
  } else if (s.SaveToTxt != 0) {
    EnsureResultText(messages);
  }
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
