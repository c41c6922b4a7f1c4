// kestrel-cli line [--station-dir DIR | --database URI] COMMAND ...
//
//   init                                   create the schema or bring it up to date
//   add-imei-range FIRST_BODY COUNT        give the line COUNT IMEI bodies from FIRST_BODY
//   add-address-range bt|wifi FIRST LAST   give the line addresses FIRST..LAST (hexadecimal)
//   next-imei [--station NAME] [--count N] take and print the station's next IMEIs
//   next-address bt|wifi [--station NAME] [--count N]   the same for addresses
//   reserve [--station NAME] SLOT=VALUE... reserve identities as a job does before writing
//   confirm [--station NAME] SLOT=VALUE... record them as a passed phone
//   release [--station NAME]               drop the station's reservations
//   find VALUE                             print what the line knows of an identity
//   history VALUE                          print an identity's events, oldest first
//   status                                 ranges, blocks, reservations, passes, last events
//   import FILE [--station NAME]           take IMEI.txt or IMEI.mdb in as passed phones
//   add-station NAME                       make a station's login role; print what its PC needs
//   remove-station NAME [--release]        drop it (refused while it holds reservations)
//   list-stations                          station accounts, and names on rows without one
//   outbox                                 the station folder's outbox: what waits, what the
//                                          line refused (read from the folder, no database)
//   add-reporter NAME                      make a reporting role (reads job summaries only)
//   report [--station NAME] [--from D] [--to D] [--html FILE]   the shift report of the
//                                          stations' job summaries, per station and ranked
//   serve --listen HOST:PORT               the live line page and /api/line (read-only)
//
// Slots: IMEI1-IMEI4, BT, WIFI, SN1, SN2. The database is the station folder's [LINE] Database
// (with its Station and ImeiBlock) unless --database names one (a URI or service=NAME).
// Logged in as a station, the commands act for that station; only the admin may name one with
// --station. Exit: 0 done, 1 find or history found nothing, 2 usage, 3 refused (an identity is
// already used, a range overlaps, none is left, not allowed), 4 the database is unreachable
// or failing.
#include "config/settings_load.h"
#include "config/station_folder.h"
#include "identity/imei.h"
#include "line/line_database.h"
#include "line/line_import.h"
#include "records/result_text.h"
#include "tools/cli/cli_commands.h"
#include "tools/cli/line_outbox_command.h"
#include "tools/cli/line_page_commands.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrel::cli {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUsed = 3;
constexpr int kExitUnreachable = 4;
// How long a command waits for a station name that another connection is using.
constexpr int kStationLockWaitMs = 10000;
constexpr int kMaxCount = 100000;
constexpr int kDefaultImportBatch = 5000;

const char kUsage[] =
    "usage: kestrel-cli line [--station-dir DIR | --database URI] COMMAND\n"
    "  init\n"
    "  add-imei-range FIRST_BODY COUNT\n"
    "  add-address-range bt|wifi FIRST LAST\n"
    "  next-imei [--station NAME] [--count N]\n"
    "  next-address bt|wifi [--station NAME] [--count N]\n"
    "  reserve [--station NAME] SLOT=VALUE...\n"
    "  confirm [--station NAME] SLOT=VALUE...\n"
    "  release [--station NAME]\n"
    "  find VALUE\n"
    "  history VALUE\n"
    "  status\n"
    "  import FILE [--station NAME]\n"
    "  add-station NAME\n"
    "  remove-station NAME [--release]\n"
    "  list-stations\n"
    "  outbox\n"
    "  add-reporter NAME\n"
    "  report [--station NAME] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--html FILE]\n"
    "  serve --listen HOST:PORT\n";

int Usage(const char* why = nullptr) {
  if (why != nullptr) std::fprintf(stderr, "kestrel-cli line: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

void Print(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
  std::fputc('\n', stdout);
}

// The exit of a result; the reason goes to standard error, the holder of a value to output.
int Finish(const line::LineResult& r) {
  if (r.ok()) return kExitDone;
  if (r.status == line::LineStatus::Refused) {
    if (!r.holder.isEmpty()) {
      Print(QStringLiteral("%1=%2 %3 %4")
                .arg(r.slot, r.value,
                     r.state == QLatin1String("passed") ? QStringLiteral("passed-by")
                                                        : QStringLiteral("reserved-by"),
                     r.holder));
    }
    std::fprintf(stderr, "kestrel-cli line: %s\n", r.message.toLocal8Bit().constData());
    return kExitUsed;
  }
  std::fprintf(stderr, "kestrel-cli line: line database unreachable: %s\n",
               r.message.toLocal8Bit().constData());
  return kExitUnreachable;
}

bool ParseCount(const QString& text, int* count) {
  bool ok = false;
  const int n = text.toInt(&ok);
  if (!ok || n < 1 || n > kMaxCount) return false;
  *count = n;
  return true;
}

bool ParseDecimal(const QString& text, std::uint64_t* value) {
  if (text.isEmpty() || text.size() > 14) return false;
  for (const QChar c : text) {
    if (!c.isDigit()) return false;
  }
  *value = text.toULongLong();
  return true;
}

bool ParseAddress(const QString& text, std::uint64_t* value) {
  if (text.size() != 12) return false;
  bool ok = false;
  *value = text.toULongLong(&ok, 16);
  return ok;
}

bool ParseAddressKind(const QString& text, line::LineRangeKind* kind) {
  if (text.compare(QLatin1String("bt"), Qt::CaseInsensitive) == 0) {
    *kind = line::LineRangeKind::Bluetooth;
  } else if (text.compare(QLatin1String("wifi"), Qt::CaseInsensitive) == 0) {
    *kind = line::LineRangeKind::Wifi;
  } else {
    return false;
  }
  return true;
}

// Takes "--NAME VALUE" out of the arguments; false when the option lacks its value.
bool TakeOption(QStringList* args, const QString& name, QString* value) {
  const qsizetype at = args->indexOf(name);
  if (at < 0) return true;
  if (at + 1 >= args->size()) return false;
  *value = args->at(at + 1);
  args->remove(at, 2);
  return true;
}

// IMEI.txt's line for identities given on the command line (its order of parts).
QString RecordLine(const QString& stamp, const line::LineItems& items) {
  static const char* const order[][2] = {{"IMEI1", "IMEI"},  {"IMEI2", "IMEI2"}, {"IMEI3", "IMEI3"},
                                         {"IMEI4", "IMEI4"}, {"WIFI", "WIFI"},   {"BT", "BT"},
                                         {"SN1", "SN1"},     {"SN2", "SN2"}};
  QString line = stamp;
  for (const auto& [slot, label] : order) {
    for (const line::LineItem& item : items) {
      if (item.slot == QLatin1String(slot)) {
        line += QStringLiteral(", %1:%2").arg(QLatin1String(label), item.value);
      }
    }
  }
  return line;
}

struct Setup {
  QString uri;
  QString station;
  int block = 20;
};

int NextValues(line::LineDatabase& line, line::LineRangeKind kind, QStringList rest,
               const Setup& setup) {
  QString countText = QStringLiteral("1");
  if (!TakeOption(&rest, QStringLiteral("--count"), &countText) || !rest.isEmpty()) {
    return Usage();
  }
  int count = 0;
  if (!ParseCount(countText, &count)) return Usage("--count takes 1 to 100000");
  std::vector<std::uint64_t> values;
  const line::LineResult r = line.Allocate(kind, count, setup.block, &values);
  if (!r.ok()) return Finish(r);
  for (const std::uint64_t v : values) {
    if (kind == line::LineRangeKind::Imei) {
      Print(identity::FullImei(v));
    } else {
      Print(QStringLiteral("%1").arg(static_cast<qulonglong>(v), 12, 16, QLatin1Char('0')));
    }
  }
  return kExitDone;
}

}  // namespace

int RunLineCommand(const QStringList& argsIn) {
  QStringList args = argsIn;
  Setup setup;
  QString database;
  if (!TakeOption(&args, QStringLiteral("--database"), &database)) return Usage();
  if (const QStringList rest = config::WithoutStationDirArgument(args);
      !rest.isEmpty() && rest.first() == QLatin1String("outbox")) {
    if (!database.isEmpty() || rest.size() != 1) return Usage("outbox takes --station-dir DIR only");
    return PrintLineOutbox(config::ResolveStationFolder(args));
  }
  const bool hasDir = argsIn.contains(QLatin1String("--station-dir")) ||
                      std::any_of(argsIn.begin(), argsIn.end(), [](const QString& a) {
                        return a.startsWith(QLatin1String("--station-dir="));
                      });
  if (args.contains(QLatin1String("--station-dir")) &&
      args.indexOf(QLatin1String("--station-dir")) == args.size() - 1) {
    return Usage();
  }
  if (hasDir && !database.isEmpty())
    return Usage("--station-dir and --database exclude each other");
  if (database.isEmpty()) {
    const QString folder = config::ResolveStationFolder(args);
    config::SettingsLoadContext context;
    const config::StationSettings settings =
        config::LoadSettings(QDir(folder).filePath(QStringLiteral("Kestrel.ini")), context);
    setup.uri = settings.LineDatabase;
    setup.station = settings.LineStation;
    setup.block = settings.LineImeiBlock;
    if (setup.uri.isEmpty()) {
      return Usage("no line database: [LINE] Database is empty and --database is not given");
    }
  } else {
    setup.uri = database;
    setup.station.clear();
  }
  QStringList rest = config::WithoutStationDirArgument(args);
  if (rest.isEmpty()) return Usage();
  const QString verb = rest.takeFirst();
  QString station = setup.station;
  const bool named = rest.contains(QLatin1String("--station"));
  if (!TakeOption(&rest, QStringLiteral("--station"), &station)) return Usage();
  const bool needsStation = verb == QLatin1String("next-imei") ||
                            verb == QLatin1String("next-address") ||
                            verb == QLatin1String("reserve") || verb == QLatin1String("confirm") ||
                            verb == QLatin1String("release");
  if (verb == QLatin1String("import") && station.isEmpty()) station = QStringLiteral("import");
  const bool acts = needsStation || verb == QLatin1String("import");

  line::LineDatabase line;
  line.Configure(setup.uri, acts ? station.trimmed() : QString(), kStationLockWaitMs,
                 !acts ? line::LineActor::None
                       : (named ? line::LineActor::Named : line::LineActor::Station));
  if (needsStation) {
    // A station role is its own name; the admin acts for the one named.
    const line::LineResult r = line.Connect();
    if (!r.ok()) return Finish(r);
    if (line.ActingStation().isEmpty()) return Usage("--station NAME is needed");
  }

  if (verb == QLatin1String("report")) return RunLineReport(line, named ? station : QString(), rest);
  if (verb == QLatin1String("serve")) {
    if (named) return Usage("serve takes --listen HOST:PORT only");
    return RunLineServe(line, rest);
  }
  if (verb == QLatin1String("init")) {
    if (!rest.isEmpty()) return Usage();
    int version = 0;
    const line::LineResult r = line.Init(&version);
    if (r.ok()) Print(QStringLiteral("schema version %1").arg(version));
    return Finish(r);
  }
  if (verb == QLatin1String("add-imei-range")) {
    std::uint64_t first = 0, count = 0;
    if (rest.size() != 2 || !ParseDecimal(rest.at(0), &first) ||
        !ParseDecimal(rest.at(1), &count) || count == 0 || first + count > 100000000000000ULL) {
      return Usage("add-imei-range takes a body of up to 14 digits and a count within the bodies");
    }
    return Finish(line.AddRange(line::LineRangeKind::Imei, first, first + count - 1));
  }
  if (verb == QLatin1String("add-address-range")) {
    line::LineRangeKind kind{};
    std::uint64_t first = 0, last = 0;
    if (rest.size() != 3 || !ParseAddressKind(rest.at(0), &kind) ||
        !ParseAddress(rest.at(1), &first) || !ParseAddress(rest.at(2), &last) || last < first) {
      return Usage("add-address-range takes bt|wifi and two 12-digit addresses, FIRST <= LAST");
    }
    return Finish(line.AddRange(kind, first, last));
  }
  if (verb == QLatin1String("next-imei")) {
    return NextValues(line, line::LineRangeKind::Imei, rest, setup);
  }
  if (verb == QLatin1String("next-address")) {
    line::LineRangeKind kind{};
    if (rest.isEmpty() || !ParseAddressKind(rest.takeFirst(), &kind)) return Usage();
    return NextValues(line, kind, rest, setup);
  }
  if (verb == QLatin1String("reserve") || verb == QLatin1String("confirm")) {
    line::LineItems items;
    for (const QString& a : rest) {
      line::LineItem item;
      QString why;
      if (!line::ParseLineItem(a, &item)) return Usage("identities are SLOT=VALUE");
      if (!line::ValidLineItem(item, &why)) return Usage(why.toLocal8Bit().constData());
      items.push_back(item);
    }
    if (items.empty()) return Usage();
    if (verb == QLatin1String("reserve")) return Finish(line.Reserve(items));
    const QString stamp = records::FormatSaveStamp(QDateTime::currentDateTime());
    return Finish(line.Confirm(items, stamp, RecordLine(stamp, items)));
  }
  if (verb == QLatin1String("release")) {
    if (!rest.isEmpty()) return Usage();
    int count = 0;
    const line::LineResult r = line.Release(&count);
    if (r.ok()) Print(QStringLiteral("released %1").arg(count));
    return Finish(r);
  }
  if (verb == QLatin1String("find")) {
    if (rest.size() != 1) return Usage();
    std::vector<line::LineFound> found;
    const line::LineResult r = line.Find(rest.at(0), &found);
    if (!r.ok()) return Finish(r);
    for (const line::LineFound& f : found) {
      QString text = QStringLiteral("%1 %2 slot=%3 %4 station=%5 reserved=%6")
                         .arg(f.kind, f.value, f.slot, f.state, f.station, f.reservedAt);
      if (!f.passedAt.isEmpty()) text += QStringLiteral(" passed=") + f.passedAt;
      if (!f.record.isEmpty()) text += QStringLiteral(" record=") + f.record;
      Print(text);
    }
    return found.empty() ? kExitNotFound : kExitDone;
  }
  if (verb == QLatin1String("history")) {
    if (rest.size() != 1) return Usage();
    QStringList lines;
    const line::LineResult r = line.History(rest.at(0), &lines);
    if (!r.ok()) return Finish(r);
    for (const QString& l : lines) Print(l);
    return lines.isEmpty() ? kExitNotFound : kExitDone;
  }
  if (verb == QLatin1String("add-station")) {
    if (rest.size() != 1) return Usage();
    line::LineStationAccount a;
    const line::LineResult r = line.AddStation(rest.at(0), &a);
    if (!r.ok()) return Finish(r);
    Print(QStringLiteral("# station %1: on its PC, in the service file (~/.pg_service.conf, or "
                         "the file PGSERVICEFILE names):")
              .arg(a.name));
    Print(a.serviceSection.trimmed());
    Print(
        QStringLiteral("# in the password file (~/.pgpass, or the file PGPASSFILE names; "
                       "mode 0600):"));
    Print(a.passwordLine);
    Print(QStringLiteral("# and in Kestrel.ini:\n[LINE]\nDatabase=service=%1").arg(a.serviceName));
    return kExitDone;
  }
  if (verb == QLatin1String("add-reporter")) {
    if (rest.size() != 1) return Usage();
    line::LineStationAccount a;
    const line::LineResult r = line.AddReporter(rest.at(0), &a);
    if (!r.ok()) return Finish(r);
    Print(QStringLiteral("# reporter %1: on the PC that serves the line page, in the service "
                         "file (~/.pg_service.conf, or the file PGSERVICEFILE names):")
              .arg(a.name));
    Print(a.serviceSection.trimmed());
    Print(QStringLiteral("# in the password file (~/.pgpass, or the file PGPASSFILE names; "
                         "mode 0600):"));
    Print(a.passwordLine);
    Print(QStringLiteral("# and: kestrel-cli line --database service=%1 serve --listen HOST:PORT")
              .arg(a.serviceName));
    return kExitDone;
  }
  if (verb == QLatin1String("remove-station")) {
    const bool release = rest.removeAll(QStringLiteral("--release")) > 0;
    if (rest.size() != 1) return Usage();
    int released = 0;
    const line::LineResult r = line.RemoveStation(rest.at(0), release, &released);
    if (r.ok()) Print(QStringLiteral("removed %1, released %2").arg(rest.at(0)).arg(released));
    return Finish(r);
  }
  if (verb == QLatin1String("list-stations")) {
    if (!rest.isEmpty()) return Usage();
    std::vector<line::LineStationInfo> stations;
    const line::LineResult r = line.ListStations(&stations);
    for (const line::LineStationInfo& i : stations) {
      Print(QStringLiteral("%1 %2 reserved %3 phones %4")
                .arg(i.name, i.account ? QStringLiteral("account") : QStringLiteral("no-account"))
                .arg(i.reserved)
                .arg(i.phones));
    }
    return Finish(r);
  }
  if (verb == QLatin1String("status")) {
    if (!rest.isEmpty()) return Usage();
    QStringList lines;
    const line::LineResult r = line.Status(&lines);
    for (const QString& l : lines) Print(l);
    return Finish(r);
  }
  if (verb == QLatin1String("import")) {
    QString batchText = QString::number(kDefaultImportBatch);
    if (!TakeOption(&rest, QStringLiteral("--batch"), &batchText) || rest.size() != 1) {
      return Usage();
    }
    int batch = 0;
    if (!ParseCount(batchText, &batch)) return Usage("--batch takes 1 to 100000");
    line::LineImportCounts counts;
    const line::LineResult r = line::ImportResultFile(line, rest.at(0), &counts, batch);
    Print(QStringLiteral("imported %1").arg(counts.imported));
    Print(QStringLiteral("skipped %1").arg(counts.skipped));
    if (r.status == line::LineStatus::Refused && r.holder.isEmpty() &&
        r.message.startsWith(QLatin1String("cannot read"))) {
      std::fprintf(stderr, "kestrel-cli line: %s\n", r.message.toLocal8Bit().constData());
      return kExitUsage;
    }
    return Finish(r);
  }
  return Usage();
}

}  // namespace kestrel::cli
