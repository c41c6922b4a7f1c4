// IMEI.mdb, the IMEI database: a SQLite file with the table IMEI, reached through QtSql.
//
// The file and its table are prepared outside the station (records/imei_db.sql, or
// `kestrel-cli records create-db`); Open never creates either. A missing file, a file that is
// not a SQLite database and a database without the table IMEI all fail to open.
//
// Threads: a QtSql connection belongs to the thread that made it, while the station opens,
// checks and closes on the window thread and inserts on the job thread. So every operation
// runs on one thread of the database's own, which holds the one connection; the calling
// thread waits for the answer. Any thread may call, one call at a time or several at once (they
// are run in turn).
//
// Every value is bound, never formatted into SQL. A row is committed (synchronous=FULL) before
// Insert returns true.
#pragma once

#include <QString>

#include <memory>
#include <utility>
#include <vector>

namespace kestrel::records {

// Column name and text value pairs, in the order they are written or read.
using ImeiRow = std::vector<std::pair<QString, QString>>;

// The columns of table IMEI the station knows, in table order.
const std::vector<QString>& ImeiColumns();

class ImeiDatabase {
 public:
  enum class Lookup { Absent, Present, Error };

  ImeiDatabase();
  ~ImeiDatabase();
  ImeiDatabase(const ImeiDatabase&) = delete;
  ImeiDatabase& operator=(const ImeiDatabase&) = delete;

  // Closes what is open, then opens the file at `path`. False (with a reason in *error) when
  // it cannot be used; the database is then closed.
  bool Open(const QString& path, QString* error = nullptr);
  void Close();
  bool IsOpen();

  // Whether a row holds `imei` in its column IMEI (only that column is searched).
  Lookup Contains(const QString& imei);

  // Adds one row with the given columns; the others keep their defaults. False on any error
  // (including a closed database).
  bool Insert(const ImeiRow& row, QString* error = nullptr);

  // Every row holding `imei` in one of the columns IMEI, IMEI2, IMEI3, IMEI4, with the known
  // columns the table has. False on any error.
  bool FindRows(const QString& imei, std::vector<ImeiRow>* rows, QString* error = nullptr);

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

// Prepares a database at `path` with the shipped script (records/imei_db.sql): creates the
// file when missing, the table IMEI and its index on IMEI when absent. An existing table is
// kept as it is. False (with a reason) when the file is not a database or a statement fails.
bool CreateImeiDatabase(const QString& path, QString* error = nullptr);

// The shipped script's text.
QString ImeiDatabaseScript();

}  // namespace kestrel::records
