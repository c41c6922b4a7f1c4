// kestrel-cli records [--station-dir DIR] check IMEI [--index N] | find IMEI | create-db
//
// check     the reuse check of IMEI number N (1-4, default 1) against the result store the
//           station's settings select: prints "free" (exit 0) or the message the station would
//           show (exit 1).
// find      prints every stored line of IMEI.txt, or row of IMEI.mdb, holding IMEI (rows as
//           "column=value" pairs): exit 0 when there is one, 1 when there is none.
// create-db prepares IMEI.mdb in the station folder with the shipped table script (file,
//           table IMEI and its index; existing rows are kept).
//
// Messages the station would show in boxes (loading the settings, opening the database) go to
// standard error as "message: TEXT". Exit 2: bad arguments or a store that cannot be read.
#include "config/message_sink.h"
#include "config/settings_load.h"
#include "config/station_folder.h"
#include "records/imei_database.h"
#include "records/result_store.h"
#include "records/result_text.h"
#include "tools/cli/cli_commands.h"
#include "tools/cli/cli_support.h"

#include <QDir>

#include <cstdio>
#include <vector>

namespace kestrel::cli {
namespace {

class CliReport : public records::ResultReport {
 public:
  void SetResultText(const QString& text) override { text_ = text; }
  void ShowFailResult() override {}
  const QString& text() const { return text_; }

 private:
  QString text_;
};

void PrintLine(const QByteArray& bytes) {
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
  std::fputc('\n', stdout);
}

int Usage() {
  std::fputs(
      "usage: kestrel-cli records [--station-dir DIR] check IMEI [--index N] | find IMEI | "
      "create-db\n",
      stderr);
  return 2;
}

int Check(const config::StationSettings& settings, records::ResultStore& store, const QString& imei,
          int index) {
  StderrSink sink;
  if (records::UsesDatabase(settings)) store.OpenImeiDatabase(sink);
  if (settings.CheckRepeat == 0) {
    std::fputs("note: CheckRepeat is off, the station does not run this check\n", stderr);
  }
  CliReport report;
  const bool free = store.CheckImeiReuse(settings, index, imei, report);
  PrintLine(free ? QByteArray("free") : report.text().toLocal8Bit());
  return free ? 0 : 1;
}

int Find(const config::StationSettings& settings, records::ResultStore& store,
         const QString& imei) {
  int found = 0;
  if (records::UsesDatabase(settings)) {
    QString error;
    if (!store.database().Open(store.databasePath(), &error)) {
      std::fprintf(stderr, "kestrel-cli: cannot open %s: %s\n",
                   store.databasePath().toLocal8Bit().constData(), error.toLocal8Bit().constData());
      return 2;
    }
    std::vector<records::ImeiRow> rows;
    if (!store.database().FindRows(imei, &rows, &error)) {
      std::fprintf(stderr, "kestrel-cli: %s\n", error.toLocal8Bit().constData());
      return 2;
    }
    for (const records::ImeiRow& row : rows) {
      QStringList pairs;
      for (const auto& [column, value] : row) pairs << column + QLatin1Char('=') + value;
      PrintLine(pairs.join(QStringLiteral(", ")).toLocal8Bit());
      ++found;
    }
  } else {
    QList<QByteArray> lines;
    if (!records::LinesHolding(store.textPath(), imei, &lines)) {
      std::fprintf(stderr, "kestrel-cli: cannot read %s\n",
                   store.textPath().toLocal8Bit().constData());
      return 2;
    }
    for (const QByteArray& line : lines) PrintLine(line);
    found = static_cast<int>(lines.size());
  }
  return found > 0 ? 0 : 1;
}

int CreateDb(const records::ResultStore& store) {
  QString error;
  if (!records::CreateImeiDatabase(store.databasePath(), &error)) {
    std::fprintf(stderr, "kestrel-cli: cannot prepare %s: %s\n",
                 store.databasePath().toLocal8Bit().constData(), error.toLocal8Bit().constData());
    return 1;
  }
  PrintLine(store.databasePath().toLocal8Bit());
  return 0;
}

}  // namespace

int RunRecordsCommand(const QStringList& args) {
  const qsizetype dirAt = args.indexOf(QLatin1String("--station-dir"));
  if (dirAt >= 0 && dirAt == args.size() - 1) return Usage();  // the option without its folder
  QStringList rest = config::WithoutStationDirArgument(args);
  if (rest.isEmpty()) return Usage();
  const QString verb = rest.takeFirst();
  const QString folder = config::ResolveStationFolder(args);
  records::ResultStore store(folder);

  if (verb == QLatin1String("create-db")) {
    if (!rest.isEmpty()) return Usage();
    return CreateDb(store);
  }
  if (verb != QLatin1String("check") && verb != QLatin1String("find")) return Usage();
  if (rest.isEmpty()) return Usage();
  const QString imei = rest.takeFirst();
  int index = 1;
  if (verb == QLatin1String("check") && rest.size() == 2 &&
      rest.at(0) == QLatin1String("--index")) {
    bool ok = false;
    index = rest.at(1).toInt(&ok);
    if (!ok || index < 1 || index > 4) return Usage();
    rest.clear();
  }
  if (!rest.isEmpty()) return Usage();

  StderrSink sink;
  config::SettingsLoadContext context;
  context.messages = &sink;
  const config::StationSettings settings =
      config::LoadSettings(QDir(folder).filePath(QStringLiteral("Kestrel.ini")), context);
  if (verb == QLatin1String("check")) return Check(settings, store, imei, index);
  return Find(settings, store, imei);
}

}  // namespace kestrel::cli
