// Taking a station's existing records into the line database: IMEI.txt (one line per passed
// phone) or IMEI.mdb (table IMEI), each phone recorded as passed by the importing station
// name, so that a line moves over without losing its history.
#pragma once

#include "line/line_database.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace kestrel::line {

// The identities of one IMEI.txt line ("<stamp>, IMEI:<v>[, IMEI2:<v>]...[, WIFI:<v>][, BT:<v>]
// [, SN1:<v>][, SN2:<v>]", line end already cut). False for a line that is not of that form.
bool ParseResultLine(const QByteArray& line, LineImportPhone* phone);

struct LineImportCounts {
  qint64 imported = 0;
  qint64 skipped = 0;  // already in the line, a duplicate of an earlier line, or unreadable
};

// The batch of these phones the database takes: a phone whose identities are not of their form,
// or that holds an identity of an earlier phone of the batch, is left out (and counted skipped).
LineImportBatch MakeImportBatch(const std::vector<LineImportPhone>& phones);

// Imports the file (IMEI.mdb when it is a SQLite file, else IMEI.txt) in batches of
// `batchLines` phones, one transaction each, reading and putting together the next batch while
// the database takes the one before. Stops at the first batch the database does not
// take (its result is returned; the batches before it stay imported, and importing the file
// again skips them). A file that cannot be read gives Refused with the reason.
LineResult ImportResultFile(LineDatabase& line, const QString& path, LineImportCounts* counts,
                            int batchLines = 5000);

}  // namespace kestrel::line
