#include "line/line_handoff.h"

#include "line/line_jobs.h"

namespace kestrel::line {
namespace {

LineResult HandOnReserveEntry(LineDatabase& line, const LineOutboxEntry& e, LineHandOn& on) {
  return line.HandOnReserve(on, e.Items());
}

LineResult HandOnConfirmEntry(LineDatabase& line, const LineOutboxEntry& e, LineHandOn& on) {
  return line.HandOnConfirm(on, e.Items(), e.record.Field(QStringLiteral("stamp")),
                            e.record.Field(QStringLiteral("record")));
}

LineResult HandOnJobEntry(LineDatabase& line, const LineOutboxEntry& e, LineHandOn& on) {
  LineJob job;
  QString why;
  if (!LineJobFromFields(e.record, &job, &why)) return LineRefused(why);
  return line.HandOnJob(job, &on.again);
}

struct Kind {
  const char* name;
  bool holdsTheLine;
  LineResult (*handOn)(LineDatabase&, const LineOutboxEntry&, LineHandOn&);
};

constexpr Kind kKinds[] = {
    {kEntryReserve, true, HandOnReserveEntry},
    {kEntryConfirm, true, HandOnConfirmEntry},
    {kEntryJob, false, HandOnJobEntry},
};

const Kind* Find(const QString& kind) {
  for (const Kind& k : kKinds) {
    if (kind == QLatin1String(k.name)) return &k;
  }
  return nullptr;
}

}  // namespace

bool LineHandOffKnows(const QString& kind) {
  return Find(kind) != nullptr;
}

bool LineHandOffHoldsTheLine(const QString& kind) {
  const Kind* k = Find(kind);
  return k != nullptr && k->holdsTheLine;
}

LineHandOffResult HandOnEntry(LineDatabase& line, const LineOutboxEntry& entry) {
  LineHandOffResult out;
  const Kind* kind = Find(entry.record.kind);
  if (kind == nullptr) {
    out.outcome = LineHandOffOutcome::Refused;
    out.result = LineRefused(QStringLiteral("an entry of kind %1 is not handed on by this build")
                                 .arg(entry.record.kind));
    return out;
  }
  LineHandOn on;
  on.entry = entry.key;
  on.written = entry.record.at;
  out.result = kind->handOn(line, entry, on);
  out.again = on.again;
  switch (out.result.status) {
    case LineStatus::Done:
      out.outcome = LineHandOffOutcome::HandedOn;
      break;
    case LineStatus::Refused:
      out.outcome = LineHandOffOutcome::Refused;
      break;
    case LineStatus::Unreachable:
      out.outcome = LineHandOffOutcome::Unreachable;
      break;
  }
  return out;
}

}  // namespace kestrel::line
