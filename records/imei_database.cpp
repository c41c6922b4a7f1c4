#include "records/imei_database.h"

#include "line/database_thread.h"
#include "line/sql_connections.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <atomic>
#include <memory>
#include <type_traits>

namespace kestrel::records {
namespace {

const QString kDriver = QStringLiteral("QSQLITE");

QString NextConnectionName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("kestrel-imei-%1").arg(++counter);
}

QString Quoted(const QString& identifier) {
  QString escaped = identifier;
  escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// The file as a SQLite URI that opens it for reading and writing but never creates it.
QString NoCreateUri(const QString& path) {
  return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
         QStringLiteral("?mode=rw");
}

void SetError(QString* error, const QString& text) {
  if (error != nullptr) *error = text;
}

QStringList ScriptStatements(const QString& script) {
  QStringList kept;
  for (const QString& line : script.split(QLatin1Char('\n'))) {
    if (!line.trimmed().startsWith(QStringLiteral("--"))) kept << line;
  }
  QStringList statements;
  for (const QString& s : kept.join(QLatin1Char('\n')).split(QLatin1Char(';'))) {
    if (!s.trimmed().isEmpty()) statements << s.trimmed();
  }
  return statements;
}

}  // namespace

const std::vector<QString>& ImeiColumns() {
  static const std::vector<QString> columns = {QStringLiteral("IMEI"),
                                               QStringLiteral("IMEI2"),
                                               QStringLiteral("IMEI3"),
                                               QStringLiteral("IMEI4"),
                                               QStringLiteral("BLUETOOTH ADDR"),
                                               QStringLiteral("WIFI MAC ADDR"),
                                               QStringLiteral("SN1"),
                                               QStringLiteral("SN2"),
                                               QStringLiteral("Time")};
  return columns;
}

// The database thread: owns the connection and runs every operation in turn.
class ImeiDatabase::Worker {
 public:
  Worker() : name_(NextConnectionName()) {}

  ~Worker() {
    Call([this] {
      CloseHere();
      return 0;
    });
  }

  // Runs `f` on the database thread and returns its result.
  template <class F>
  std::invoke_result_t<F> Call(F f) {
    return thread_.Call(std::move(f));
  }

  // The operations below run on the database thread only.

  bool OpenHere(const QString& path, QString* error) {
    CloseHere();
    const QFileInfo info(path);
    if (!info.exists()) {
      SetError(error, QStringLiteral("%1 does not exist").arg(path));
      return false;
    }
    if (!info.isFile()) {
      SetError(error, QStringLiteral("%1 is not a file").arg(path));
      return false;
    }
    if (!QSqlDatabase::isDriverAvailable(kDriver)) {
      SetError(error, QStringLiteral("the SQLite driver of QtSql is not installed"));
      return false;
    }
    bool ok = false;
    {
      QSqlDatabase db = line::sql::Add(kDriver, name_);
      db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000"));
      db.setDatabaseName(NoCreateUri(path));
      if (!db.open()) {
        SetError(error, db.lastError().text());
      } else {
        QSqlQuery q(db);
        // The first statement reads the file: a file that is not a database fails here.
        if (!q.exec(QStringLiteral("PRAGMA synchronous = FULL")) ||
            !q.exec(QStringLiteral("SELECT * FROM IMEI LIMIT 0"))) {
          SetError(error, q.lastError().text());
        } else {
          q.finish();
          check_ = std::make_unique<QSqlQuery>(db);
          ok = check_->prepare(QStringLiteral("SELECT 1 FROM IMEI WHERE \"IMEI\" = ? LIMIT 1"));
          if (!ok) SetError(error, check_->lastError().text());
        }
      }
    }
    if (!ok) {
      CloseHere();
      return false;
    }
    open_ = true;
    return true;
  }

  void CloseHere() {
    open_ = false;
    check_.reset();
    line::sql::CloseAndRemove(name_);
  }

  bool IsOpenHere() const { return open_; }

  Lookup ContainsHere(const QString& imei) {
    if (!open_) return Lookup::Error;
    check_->bindValue(0, imei);
    if (!check_->exec()) {
      check_->finish();
      return Lookup::Error;
    }
    const bool found = check_->next();
    const bool failed = !found && check_->lastError().isValid();
    check_->finish();
    if (failed) return Lookup::Error;
    return found ? Lookup::Present : Lookup::Absent;
  }

  bool InsertHere(const ImeiRow& row, QString* error) {
    if (!open_) {
      SetError(error, QStringLiteral("the database is not open"));
      return false;
    }
    QString sql;
    if (row.empty()) {
      sql = QStringLiteral("INSERT INTO IMEI DEFAULT VALUES");
    } else {
      QStringList names;
      QStringList marks;
      for (const auto& [column, value] : row) {
        names << Quoted(column);
        marks << QStringLiteral("?");
      }
      sql = QStringLiteral("INSERT INTO IMEI (%1) VALUES (%2)")
                .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    }
    QSqlQuery q(line::sql::Get(name_));
    if (!q.prepare(sql)) {
      SetError(error, q.lastError().text());
      return false;
    }
    for (int i = 0; i < static_cast<int>(row.size()); ++i) {
      q.bindValue(i, row[static_cast<std::size_t>(i)].second);
    }
    if (!q.exec()) {
      SetError(error, q.lastError().text());
      return false;
    }
    return true;
  }

  bool FindHere(const QString& imei, std::vector<ImeiRow>* rows, QString* error) {
    if (!open_) {
      SetError(error, QStringLiteral("the database is not open"));
      return false;
    }
    QSqlDatabase db = line::sql::Get(name_);
    const QSqlRecord table = db.record(QStringLiteral("IMEI"));
    QStringList present;
    QStringList conditions;
    for (const QString& column : ImeiColumns()) {
      if (!table.contains(column)) continue;
      present << column;
      if (column.startsWith(QStringLiteral("IMEI"))) conditions << Quoted(column) + " = ?";
    }
    QStringList quoted;
    for (const QString& c : present) quoted << Quoted(c);
    QSqlQuery q(db);
    if (!q.prepare(
            QStringLiteral("SELECT %1 FROM IMEI WHERE %2")
                .arg(quoted.join(QStringLiteral(", ")), conditions.join(QStringLiteral(" OR "))))) {
      SetError(error, q.lastError().text());
      return false;
    }
    for (int i = 0; i < conditions.size(); ++i) q.bindValue(i, imei);
    if (!q.exec()) {
      SetError(error, q.lastError().text());
      return false;
    }
    while (q.next()) {
      ImeiRow row;
      for (int i = 0; i < present.size(); ++i) {
        row.emplace_back(present.at(i), q.value(i).toString());
      }
      rows->push_back(std::move(row));
    }
    return true;
  }

 private:
  const QString name_;
  // Database-thread state.
  bool open_ = false;
  std::unique_ptr<QSqlQuery> check_;
  line::DatabaseThread thread_;  // last: its thread ends before the state above goes
};

ImeiDatabase::ImeiDatabase() : worker_(std::make_unique<Worker>()) {}

ImeiDatabase::~ImeiDatabase() = default;

bool ImeiDatabase::Open(const QString& path, QString* error) {
  QString reason;
  const bool ok = worker_->Call([&] { return worker_->OpenHere(path, &reason); });
  SetError(error, reason);
  return ok;
}

void ImeiDatabase::Close() {
  worker_->Call([this] {
    worker_->CloseHere();
    return 0;
  });
}

bool ImeiDatabase::IsOpen() {
  return worker_->Call([this] { return worker_->IsOpenHere(); });
}

ImeiDatabase::Lookup ImeiDatabase::Contains(const QString& imei) {
  return worker_->Call([&] { return worker_->ContainsHere(imei); });
}

bool ImeiDatabase::Insert(const ImeiRow& row, QString* error) {
  QString reason;
  const bool ok = worker_->Call([&] { return worker_->InsertHere(row, &reason); });
  SetError(error, reason);
  return ok;
}

bool ImeiDatabase::FindRows(const QString& imei, std::vector<ImeiRow>* rows, QString* error) {
  QString reason;
  const bool ok = worker_->Call([&] { return worker_->FindHere(imei, rows, &reason); });
  SetError(error, reason);
  return ok;
}

bool CreateImeiDatabase(const QString& path, QString* error) {
  if (!QSqlDatabase::isDriverAvailable(kDriver)) {
    SetError(error, QStringLiteral("the SQLite driver of QtSql is not installed"));
    return false;
  }
  const QString name = NextConnectionName();
  bool ok = false;
  {
    QSqlDatabase db = line::sql::Add(kDriver, name);
    db.setDatabaseName(path);
    if (!db.open()) {
      SetError(error, db.lastError().text());
    } else {
      QSqlQuery q(db);
      ok = q.exec(QStringLiteral("PRAGMA schema_version"));
      if (!ok) SetError(error, q.lastError().text());
      q.finish();
      for (const QString& statement : ScriptStatements(ImeiDatabaseScript())) {
        if (!ok) break;
        ok = q.exec(statement);
        if (!ok) SetError(error, q.lastError().text());
      }
      q.finish();
    }
    db.close();
  }
  line::sql::Remove(name);
  return ok;
}

}  // namespace kestrel::records
