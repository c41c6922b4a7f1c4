// The hand-off of the station's outbox (line/line_outbox.h) to the line database: each kind of
// entry with the call that hands it on. The hand-off goes in the outbox's order, one entry at
// a time; the line takes each once by its key, so an entry handed on again (after a crash
// between the line's answer and the outbox's note of it) changes nothing.
//
// A new kind of entry is one more row of the table in line_handoff.cpp: its name, whether the
// line's word waits on it, and the call that hands it on with the fields it carries (a
// LineDatabase call, keyed by the entry as the two here are).
#pragma once

#include "line/line_database.h"
#include "line/line_outbox.h"

namespace kestrel::line {

// The entry kinds of this build (and kEntryJob, a job's summary: line/line_jobs.h).
inline constexpr char kEntryReserve[] = "reserve";
inline constexpr char kEntryConfirm[] = "confirm";

// Whether this build hands on entries of the kind.
bool LineHandOffKnows(const QString& kind);
// Whether the line's word waits on entries of the kind: while one waits, the station's
// reservations and confirmations go to the outbox behind it (a reservation or confirmation of
// its own; an entry that only tells the line something, as a job's summary would, does not).
bool LineHandOffHoldsTheLine(const QString& kind);

enum class LineHandOffOutcome {
  HandedOn,     // the line took it (now, or before: `again`)
  Refused,      // the line will not take it (the result names why); it stays in the outbox
  Unreachable,  // the line did not answer: try again later
};

struct LineHandOffResult {
  LineHandOffOutcome outcome = LineHandOffOutcome::HandedOn;
  bool again = false;
  LineResult result;
};

// Hands one entry on.
LineHandOffResult HandOnEntry(LineDatabase& line, const LineOutboxEntry& entry);

}  // namespace kestrel::line
