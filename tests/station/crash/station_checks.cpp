#include "tests/station/crash/station_checks.h"

#include "config/ini_document.h"
#include "config/settings_load.h"
#include "identity/imei.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace kestrel::testing::crash {
namespace {

using config::IniDocument;

const QString kSentinelSection = QStringLiteral("Harness");
const QString kSentinelKey = QStringLiteral("Sentinel");
const QString kSentinelValue = QStringLiteral("whole");

QString Hex12(std::uint64_t v) {
  return QStringLiteral("%1").arg(static_cast<qulonglong>(v), 12, 16, QLatin1Char('0')).toUpper();
}

QString SettingsText(const StationPlan& p) {
  const QDir d(p.folder);
  return QStringLiteral(
             "; the crash harness's station\n"
             "[General]\n"
             "Operation Mode=1\nPort=%1\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=1\nIMEI2GenMode=1\n"
             "AutoCreateIMEI=1\nBT_ADDR=1\nWIFI_ADDR=1\nSaveIMEI=1\nSaveToTxt=%8\nCheckRepeat=1\n"
             "CheckValid=1\nDefaultIMEI=%2\nTimeout=5000\nWriteTime=10000\nReadBack=1\n"
             "[Control]\nRebootDUT=0\n"
             "[CUSTOMIZATION]\nManual Assign BT Addr=1\nBT Addr File Path=%3\n"
             "Manual Assign WIFI Addr=1\nWIFI Addr File Path=%4\n"
             "[%5]\n%6=%7\n")
      .arg(p.port)
      .arg(p.firstBody, 14, 10, QLatin1Char('0'))
      .arg(d.filePath(QStringLiteral("bt.ini")), d.filePath(QStringLiteral("wifi.ini")),
           kSentinelSection, kSentinelKey, kSentinelValue)
      .arg(p.database ? 0 : 1);
}

QString AddressText(const QString& section, std::uint64_t start, std::uint64_t end) {
  return QStringLiteral(
             "[%1]\r\nStart Address=%2\r\nCurrent Address=%2\r\nEnd Address=%3\r\n"
             "[%4]\r\n%5=%6\r\n")
      .arg(section, Hex12(start), Hex12(end), kSentinelSection, kSentinelKey, kSentinelValue);
}

bool WriteFile(const QString& path, const QString& text) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         f.write(text.toUtf8()) == text.toUtf8().size();
}

// The file as a document, or a problem when it is missing, unreadable or cut short.
bool ReadWhole(const QString& path, IniDocument* doc, QStringList* problems) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    *problems << path + QStringLiteral(": cannot be read");
    return false;
  }
  const QByteArray bytes = f.readAll();
  if (!bytes.endsWith('\n')) *problems << path + QStringLiteral(": last line cut short");
  *doc = IniDocument::Parse(bytes);
  if (doc->Value(kSentinelSection, kSentinelKey) != kSentinelValue)
    *problems << path + QStringLiteral(": the last section is gone");
  return true;
}

void Expect(const IniDocument& doc, const QString& file, const QString& section, const QString& key,
            const QString& value, QStringList* problems) {
  const auto v = doc.Value(section, key);
  if (v != value) {
    *problems << QStringLiteral("%1: [%2] %3 is '%4', not '%5'")
                     .arg(file, section, key, v.value_or(QStringLiteral("<absent>")), value);
  }
}

void CheckAddressFile(const QString& path, const QString& section, std::uint64_t start,
                      std::uint64_t end, QStringList* problems) {
  IniDocument doc;
  if (!ReadWhole(path, &doc, problems)) return;
  Expect(doc, path, section, QStringLiteral("Start Address"), Hex12(start), problems);
  Expect(doc, path, section, QStringLiteral("End Address"), Hex12(end), problems);
  const QString current = doc.Value(section, QStringLiteral("Current Address")).value_or(QString());
  static const QRegularExpression hex12(QStringLiteral("^[0-9A-Fa-f]{12}$"));
  const std::uint64_t c = config::ParseHexAddress(current, 12);
  if (!hex12.match(current).hasMatch() || c < start || c > end)
    *problems << QStringLiteral("%1: Current Address '%2' outside the range").arg(path, current);
}

// One recorded phone's IMEIs: valid, never seen before, below DefaultIMEI.
void Record(const QString& where, const QStringList& imeis, CheckResult* r) {
  static const QRegularExpression digits15(QStringLiteral("^[0-9]{15}$"));
  ++r->recordedPhones;
  for (const QString& imei : imeis) {
    if (!digits15.match(imei).hasMatch() || !identity::VerifyImeiCheckDigit(imei))
      r->problems << QStringLiteral("%1: '%2' is not a valid IMEI").arg(where, imei);
    if (r->recordedImeis.contains(imei))
      r->problems << QStringLiteral("IMEI %1 recorded twice").arg(imei);
    r->recordedImeis.insert(imei);
    if (imei.left(14).toULongLong() >= r->defaultImei)
      r->problems << QStringLiteral("DefaultIMEI %1 does not lie past the recorded IMEI %2")
                         .arg(r->defaultImei, 14, 10, QLatin1Char('0'))
                         .arg(imei);
  }
}

void CheckDatabase(const QString& path, CheckResult* r) {
  const QString name = QStringLiteral("crash-harness-check");
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    if (!QFile::exists(path) || !db.open()) {
      r->problems << QStringLiteral("IMEI.mdb cannot be opened");
    } else {
      QSqlQuery q(db);
      if (!q.exec(QStringLiteral("PRAGMA integrity_check")) || !q.next() ||
          q.value(0).toString() != QLatin1String("ok"))
        r->problems << QStringLiteral("IMEI.mdb fails its integrity check");
      if (!q.exec(QStringLiteral("SELECT \"IMEI\", \"IMEI2\", \"WIFI MAC ADDR\", "
                                 "\"BLUETOOTH ADDR\", \"Time\" FROM IMEI ORDER BY rowid"))) {
        r->problems << QStringLiteral("IMEI.mdb: the table IMEI cannot be read");
      }
      while (q.isActive() && q.next()) {
        const QString where = QStringLiteral("IMEI.mdb row %1").arg(r->recordedPhones + 1);
        for (int c = 2; c <= 4; ++c) {
          if (q.value(c).toString().isEmpty())
            r->problems << where + QStringLiteral(": column %1 is empty").arg(c + 1);
        }
        Record(where, {q.value(0).toString(), q.value(1).toString()}, r);
      }
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(name);
}

}  // namespace

bool PrepareStation(const StationPlan& plan) {
  const QDir d(plan.folder);
  return d.mkpath(QStringLiteral("ports")) &&
         WriteFile(d.filePath(QStringLiteral("Kestrel.ini")), SettingsText(plan)) &&
         WriteFile(d.filePath(QStringLiteral("bt.ini")),
                   AddressText(QStringLiteral("BT Address"), plan.btStart, plan.btEnd)) &&
         WriteFile(d.filePath(QStringLiteral("wifi.ini")),
                   AddressText(QStringLiteral("WIFI Address"), plan.wifiStart, plan.wifiEnd));
}

CheckResult CheckStation(const StationPlan& plan, const History& history) {
  CheckResult r;
  const QDir d(plan.folder);

  // Kestrel.ini: whole, the keys the station only reads as prepared, DefaultIMEI a body.
  const QString ini = d.filePath(QStringLiteral("Kestrel.ini"));
  IniDocument doc;
  if (ReadWhole(ini, &doc, &r.problems)) {
    const QString g = QStringLiteral("General");
    Expect(doc, ini, g, QStringLiteral("Operation Mode"), QStringLiteral("1"), &r.problems);
    Expect(doc, ini, g, QStringLiteral("Port"), QString::number(plan.port), &r.problems);
    Expect(doc, ini, g, QStringLiteral("IMEI2GenMode"), QStringLiteral("1"), &r.problems);
    Expect(doc, ini, g, QStringLiteral("SaveToTxt"),
           plan.database ? QStringLiteral("0") : QStringLiteral("1"), &r.problems);
    Expect(doc, ini, g, QStringLiteral("Timeout"), QStringLiteral("5000"), &r.problems);
    Expect(doc, ini, QStringLiteral("CUSTOMIZATION"), QStringLiteral("WIFI Addr File Path"),
           d.filePath(QStringLiteral("wifi.ini")), &r.problems);
    const QString body = doc.Value(g, QStringLiteral("DefaultIMEI")).value_or(QString());
    static const QRegularExpression digits14(QStringLiteral("^[0-9]{14}$"));
    if (!digits14.match(body).hasMatch())
      r.problems << QStringLiteral("Kestrel.ini: DefaultIMEI '%1' is not 14 digits").arg(body);
    r.defaultImei = body.toULongLong();
  }

  CheckAddressFile(d.filePath(QStringLiteral("bt.ini")), QStringLiteral("BT Address"), plan.btStart,
                   plan.btEnd, &r.problems);
  CheckAddressFile(d.filePath(QStringLiteral("wifi.ini")), QStringLiteral("WIFI Address"),
                   plan.wifiStart, plan.wifiEnd, &r.problems);

  // IMEI.txt: whole lines of the station's form, every IMEI valid and used once.
  QFile txt(d.filePath(QStringLiteral("IMEI.txt")));
  if (plan.database) {
    CheckDatabase(d.filePath(QStringLiteral("IMEI.mdb")), &r);
  } else if (txt.exists()) {
    if (!txt.open(QIODevice::ReadOnly)) {
      r.problems << QStringLiteral("IMEI.txt cannot be read");
    } else {
      const QByteArray bytes = txt.readAll();
      if (!bytes.isEmpty() && !bytes.endsWith("\r\n"))
        r.problems << QStringLiteral("IMEI.txt: last line cut short");
      static const QRegularExpression line(QStringLiteral(
          "^\\d{4}-\\d{2}-\\d{2}-\\d{2}-\\d{2}-\\d{2}, IMEI:(\\d{15}), IMEI2:(\\d{15}), "
          "WIFI:[0-9A-Fa-f]{12}, BT:[0-9A-Fa-f]{12}$"));
      QList<QByteArray> lines = bytes.split('\n');
      if (lines.last().isEmpty()) lines.removeLast();  // after the last line break
      for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray l = lines[i];
        if (l.endsWith('\r')) l.chop(1);
        const auto m = line.match(QString::fromLatin1(l));
        if (!m.hasMatch()) {
          ++r.recordedPhones;
          r.problems << QStringLiteral("IMEI.txt line %1 torn or malformed: '%2'")
                            .arg(i + 1)
                            .arg(QString::fromLatin1(l));
          continue;
        }
        Record(QStringLiteral("IMEI.txt line %1").arg(i + 1), {m.captured(1), m.captured(2)}, &r);
      }
    }
  }
  for (const QString& imei : history.shownPassed) {
    if (!r.recordedImeis.contains(imei))
      r.problems << QStringLiteral("IMEI %1 was shown as passed but is not recorded").arg(imei);
  }
  return r;
}

}  // namespace kestrel::testing::crash
