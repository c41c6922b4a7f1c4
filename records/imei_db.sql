-- IMEI.mdb: the station's IMEI database (SQLite). The station never creates this file or its
-- table; prepare it once in the station folder with
--     kestrel-cli records --station-dir DIR create-db
-- or  sqlite3 DIR/IMEI.mdb < imei_db.sql
-- Every value is written as text. Columns a row does not set stay NULL.
--
-- Write-ahead journal: a saved row costs one sync of the journal, so a save stays fast however
-- large the table grows. While the station has the file open, recent rows may stand in
-- IMEI.mdb-wal beside it: read the database through SQLite (or copy it once the station is
-- closed), never by copying IMEI.mdb alone.
PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS IMEI (
  "IMEI" TEXT,
  "IMEI2" TEXT,
  "IMEI3" TEXT,
  "IMEI4" TEXT,
  "BLUETOOTH ADDR" TEXT,
  "WIFI MAC ADDR" TEXT,
  "SN1" TEXT,
  "SN2" TEXT,
  "Time" TEXT
);
-- The reuse check looks rows up by IMEI.
CREATE INDEX IF NOT EXISTS "IMEI by IMEI" ON IMEI ("IMEI");
