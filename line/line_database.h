// The line database: one PostgreSQL database shared by every station of a line, so that no
// identity is written into two phones, whichever stations wrote them.
//
// What it keeps (line/line_schema.sql): the line's ranges of IMEI bodies and Bluetooth and
// Wi-Fi addresses; the blocks of them each station has claimed; every identity reserved by a
// station for the phone on its bench or passed with a phone; the passed phones with station,
// save stamp and the line IMEI.txt would hold; the station accounts; and the append-only
// events that tell each block's and identity's story.
//
// Who may do what is the database's: the admin role owns the schema (init, ranges, import,
// accounts); a station logs in with a role of its own that holds no table rights and calls
// only the schema's functions, which act for the calling role: the station's name is its role.
// The admin may act for a named station.
//
// A job reserves every identity it writes before the phone is touched (Reserve) and confirms
// them when the phone is saved (Confirm). A unique key on (kind, value) decides between
// stations: the first insert wins, the others find its row and learn who holds the value.
// A station's reservations stay with it until it reserves for its next phone (which drops the
// ones not reserved again) or confirms them; so a failed job keeps its identities for the next
// phone. One live connection per station name: the connection holds a session lock on its
// station's name, so two processes using one name cannot both reserve, and the lock goes with
// the connection when a station dies.
//
// A station that cannot reach the line goes on alone from its own blocks (line/line_link.h):
// OwnBlocks tells it what they hold, and the entries of its outbox come back through
// HandOnReserve and HandOnConfirm, each taken once whatever the number of calls.
//
// Several servers: the URI may name a primary and its standbys (libpq's host list with
// target_session_attrs=read-write); a connection that drops is made again to whichever server
// is the primary then.
//
// Every station hands the summary of each job it ran to the line (line/line_jobs.h); the line's
// reports and its page read them, as the admin, a station its own, or a reporting role that may
// read them and nothing else.
//
// The files: line_database.cpp the connection and session (line_session.h), line_schema.cpp
// init and the schema's steps, line_blocks.cpp ranges and blocks, line_reservations.cpp
// reserve, confirm and release, line_outbox_calls.cpp the station's blocks and the hand-off of
// its outbox, line_import.cpp the import, line_status.cpp status, find and history,
// line_stations.cpp the station and reporting accounts, line_jobs.cpp the job summaries.
//
// Threads: the connection lives on a thread of its own (line/database_thread.h); any
// thread may call. Every value is bound. A failing statement closes the connection, so the
// next call connects again: a station whose database went away works again once it is back.
#pragma once

#include "line/line_identities.h"
#include "line/line_jobs.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrel::line {

// The schema version this build knows and `Init` brings a database to.
int LineSchemaVersion();
// The shipped schema script (line/line_schema.sql).
QString LineSchemaScript();

enum class LineStatus {
  Done,
  Refused,      // an identity is already used or held, a range overlaps, or no value is left
  Unreachable,  // cannot connect, or a statement failed
};

// Whom a connection acts for.
enum class LineActor {
  None,     // no station: schema, ranges, accounts, status, find, history
  Station,  // a station, holding the lock on its name: a station role is its own name whatever
            // `station` says; the admin acts for `station` (none when empty)
  Named,    // as Station, but a station role asked to act for another name is refused
};

struct LineResult {
  LineStatus status = LineStatus::Done;
  QString message;  // why, for Refused and Unreachable
  // For an identity held elsewhere: its slot, value, holding station and "reserved"/"passed".
  QString slot;
  QString value;
  QString holder;
  QString state;
  bool ok() const { return status == LineStatus::Done; }
};

LineResult LineUnreachable(const QString& why);
LineResult LineRefused(const QString& why);

// The numbered kinds of ranges and blocks.
enum class LineRangeKind { Imei = 1, Bluetooth = 2, Wifi = 3 };

// The kind's name: IMEI, BT, WIFI.
QString LineKindName(LineRangeKind kind);

struct LineFound {
  QString kind, value, slot, station, state, reservedAt, passedAt, record;
};

// A station account: what AddStation made, and what goes on the station PC.
struct LineStationAccount {
  QString name;
  QString password;        // generated; only in passwordLine below
  QString serviceName;     // the service-file section's name (Database=service=NAME)
  QString serviceSection;  // the libpq service-file section, lines ending in '\n'
  QString passwordLine;    // the libpq password-file line (one per server of a host list)
};

struct LineStationInfo {
  QString name;
  bool account = false;  // a login role of this line; false: a name on rows without one
  qint64 reserved = 0;
  qint64 phones = 0;
};

// A block of the line's ranges a station holds: [first, last], the line's next unused value in
// it, and `usable`, the last value before the first one the line already knows at or after
// `next` (`last` when there is none).
struct LineBlock {
  qint64 id = 0;
  LineRangeKind kind = LineRangeKind::Imei;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t next = 0;
  std::uint64_t usable = 0;
};

// An outbox entry on its way to the line: its key (the outbox's id and its number), when the
// station wrote it, and whether the line had it before (nothing changed then).
struct LineHandOn {
  QString entry;
  QDateTime written;
  bool again = false;
};

// One imported phone: its stamp, its line, and its identities.
struct LineImportPhone {
  qint64 sourceLine = 0;
  QString stamp;
  QString record;
  LineItems items;
};

// A batch of imported phones as the database takes it, put together off the database's thread
// (MakeImportBatch, line/line_import.h): the phones given, and the statement's array literals of
// those it may take.
struct LineImportBatch {
  int phones = 0;
  QString lineNo, stamps, records, idLine, kinds, slotNames, values;
};

class LineSession;

class LineDatabase {
 public:
  LineDatabase();
  ~LineDatabase();
  LineDatabase(const LineDatabase&) = delete;
  LineDatabase& operator=(const LineDatabase&) = delete;

  // The database (line/line_uri.h: a URI or a service) and the station this connection
  // acts for (see LineActor). `stationLockWaitMs` is how long a connection waits for its
  // station's lock held by another connection (0: not at all); the default covers the moment
  // in which the server is still letting go of the connection of a station that just closed
  // or restarted. Closes an open connection; connects lazily.
  void Configure(const QString& uri, const QString& station, int stationLockWaitMs = 3000,
                 LineActor actor = LineActor::Station);
  const QString& station() const { return station_; }

  // Connects now (when not connected) and checks the schema version.
  LineResult Connect();
  void Close();
  // After a successful Connect: the station the line knows this connection as (empty when it
  // acts for none), and whether it speaks as the admin.
  QString ActingStation();
  bool IsAdmin();

  // Creates the schema or brings it up to this build's version; *version receives it.
  LineResult Init(int* version = nullptr);

  // Adds a range of values [first, last] of a kind; Refused when it overlaps one of the line.
  LineResult AddRange(LineRangeKind kind, std::uint64_t first, std::uint64_t last);

  // The first of `count` consecutive values of the kind that this station has not used yet,
  // from its blocks, claiming a new block of max(blockSize, count) values from the line's
  // ranges when its blocks have too few left. Nothing is used up: Confirm does that. Refused
  // when the ranges have no such run left.
  LineResult NextRun(LineRangeKind kind, int count, int blockSize, std::uint64_t* first);

  // Takes `count` values of the kind for this station at once (used up when returned).
  LineResult Allocate(LineRangeKind kind, int count, int blockSize,
                      std::vector<std::uint64_t>* values);

  // Reserves the identities for this station in one transaction (the same value twice counts
  // once). Refused, with the first value held elsewhere (by another station, or passed by
  // any; else one lying in another station's block, state "block"), when one cannot be had;
  // nothing is reserved then. The station's earlier reservations
  // that are not among these are dropped.
  LineResult Reserve(const LineItems& items);

  // Records a passed phone: the identities become passed (they must be free or reserved by
  // this station), the row keeps `stamp` and `record`, and the station's blocks move past
  // the IMEI bodies and addresses used. Refused (nothing recorded) when one is held elsewhere
  // or lies in another station's block.
  LineResult Confirm(const LineItems& items, const QString& stamp, const QString& record);

  // This station's blocks that still have values, oldest first.
  LineResult OwnBlocks(std::vector<LineBlock>* blocks);

  // Hands an outbox entry on: a job's reservation made while the line did not answer (the
  // values are then used up in the station's blocks, as they may be in a phone), or a passed
  // phone's confirmation. Refused, naming the identity, when a value lies in none of this
  // station's blocks and is not reserved by it (state "not-own"), or as Reserve and Confirm
  // refuse. The same entry again answers as the first time did and changes nothing.
  LineResult HandOnReserve(LineHandOn& entry, const LineItems& items);
  LineResult HandOnConfirm(LineHandOn& entry, const LineItems& items, const QString& stamp,
                           const QString& record);

  // Drops this station's reservations; *count receives how many there were.
  LineResult Release(int* count = nullptr);

  // This station's reservations (slot and value).
  LineResult Reservations(LineItems* items);

  // Every identity holding `value` (any kind; addresses without regard to case).
  LineResult Find(const QString& value, std::vector<LineFound>* found);

  // Lines describing ranges, blocks, reservations and passes per station, and the last
  // `events` events (a station sees its own).
  LineResult Status(QStringList* lines, int events = 10);

  // The events of one identity (any kind; addresses without regard to case), the phone it
  // passed with and the block it lies in, oldest first (admin).
  LineResult History(const QString& value, QStringList* lines);

  // Station accounts (admin). AddStation creates the login role with a generated password;
  // RemoveStation drops it, refused while it holds reservations unless `release` gives them
  // back (*released: how many).
  LineResult AddStation(const QString& name, LineStationAccount* account);
  LineResult RemoveStation(const QString& name, bool release, int* released = nullptr);
  LineResult ListStations(std::vector<LineStationInfo>* stations);
  // A reporting account (admin): a login role that may read the job summaries and nothing
  // else; `account` as AddStation gives it.
  LineResult AddReporter(const QString& name, LineStationAccount* account);

  // Hands a job's summary on for this station; *again tells whether the line had it already
  // (nothing changed then). Refused when it is out of form; Unreachable also when a lock held
  // it up (the connection stays; try again later).
  LineResult HandOnJob(const LineJob& job, bool* again = nullptr);
  // The start of this station's newest summary in the line (invalid when it holds none).
  LineResult NewestJob(QDateTime* started);
  // The summaries of the jobs started on the local days [from, to] of their stations (an
  // invalid date leaves that end open), by station and start: every station's (or the one
  // named) for the admin and a reporting role, a station's own for a station.
  LineResult Jobs(const QString& station, const QDate& from, const QDate& to,
                  std::vector<LineJob>* jobs);
  // The line page's rows: every station's phones and passes of the last `windowSeconds`, its
  // last pass and last failure (admin and reporting roles).
  LineResult Board(int windowSeconds, LineBoard* board);

  // Records imported phones as passed for `station` (admin), in one transaction, with one
  // "imported" event for them all; a phone any of whose identities the line already knows (or
  // an earlier phone of the same call holds) is skipped.
  LineResult ImportPhones(const std::vector<LineImportPhone>& phones, int* imported, int* skipped);
  LineResult ImportBatch(const LineImportBatch& batch, int* imported, int* skipped);

 private:
  // A hand-off call `sql`: the station, the entry's key and time, its identities, then `more`.
  LineResult HandOn(LineHandOn& entry, const LineItems& items, const char* sql,
                    const QStringList& more);

  QString station_;
  std::unique_ptr<LineSession> session_;
};

}  // namespace kestrel::line
