// QtSql's table of named connections, taken by one caller at a time.
//
// QtSql guards that table with a read-write lock of its own, and a caller that has to wait for
// it waits inside Qt, which is not built with the thread sanitizer: the sanitizer then sees a
// lock let go that it never saw taken. Each station's line session, its records and the import
// make, look up and drop connections of their own names from threads of their own; taking the
// table here one caller at a time means Qt's lock is never waited on. The table is touched when a
// connection is made, looked up or dropped, never for the length of a query.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include <mutex>

namespace kestrel::line::sql {

std::mutex& TableLock();

inline QSqlDatabase Add(const QString& driver, const QString& name) {
  const std::lock_guard<std::mutex> lock(TableLock());
  return QSqlDatabase::addDatabase(driver, name);
}

// The connection of that name, not opened by the looking up.
inline QSqlDatabase Get(const QString& name) {
  const std::lock_guard<std::mutex> lock(TableLock());
  return QSqlDatabase::database(name, false);
}

inline bool Contains(const QString& name) {
  const std::lock_guard<std::mutex> lock(TableLock());
  return QSqlDatabase::contains(name);
}

// Drops the connection of that name; every copy of it must be gone by then.
inline void Remove(const QString& name) {
  const std::lock_guard<std::mutex> lock(TableLock());
  QSqlDatabase::removeDatabase(name);
}

// Closes the connection of that name, when there is one, and drops it.
inline void CloseAndRemove(const QString& name) {
  if (!Contains(name)) return;
  Get(name).close();
  Remove(name);
}

}  // namespace kestrel::line::sql
