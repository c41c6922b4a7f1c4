#include "records/job_report.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>
#include <utility>

namespace kestrel::records {
namespace {

constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kHourMs = 3'600'000;

struct HourSums {
  HourRow row;
  std::vector<std::int64_t> durations;
  std::int64_t firstStart = 0;
  std::int64_t lastEnd = 0;
};

// What the records add up to, before the percentiles and the orderings are taken.
struct Sums {
  std::map<std::int64_t, HourSums> hours;  // by day * 24 + hour
  std::map<std::pair<QString, QString>, int> failures;
  std::map<QString, std::vector<std::int64_t>> steps;
  std::int64_t records = 0;
  std::int64_t skipped = 0;

  void Add(const JobRecord& r);
  void Merge(Sums&& other);
};

bool IsPhone(const QString& outcome) {
  return outcome == QLatin1String("passed") || outcome == QLatin1String("failed") ||
         outcome == QLatin1String("timed-out");
}

void Sums::Add(const JobRecord& r) {
  ++records;
  const QDate day = r.startedAt.date();
  const int hour = r.startedAt.time().hour();
  HourSums& h = hours[day.toJulianDay() * 24 + hour];
  if (!h.row.day.isValid()) {
    h.row.day = day;
    h.row.hour = hour;
  }
  for (const JobRecordStep& s : r.steps) steps[s.name].push_back(s.durationMs);
  if (!IsPhone(r.outcome)) {
    if (r.outcome == QLatin1String("stopped")) {
      ++h.row.stopped;
    } else {
      ++h.row.shown;
    }
    return;
  }
  ++h.row.phones;
  if (r.outcome == QLatin1String("passed")) {
    ++h.row.passed;
  } else {
    ++h.row.failed;
    ++failures[{FailureMessage(r), FailureStep(r)}];
  }
  const std::int64_t duration = std::max<std::int64_t>(r.durationMs, 0);
  h.durations.push_back(duration);
  const std::int64_t start = day.toJulianDay() * kDayMs + r.startedAt.time().msecsSinceStartOfDay();
  const std::int64_t end = start + duration;
  if (h.durations.size() == 1) {
    h.firstStart = start;
    h.lastEnd = end;
  } else {
    h.firstStart = std::min(h.firstStart, start);
    h.lastEnd = std::max(h.lastEnd, end);
  }
}

void Sums::Merge(Sums&& o) {
  records += o.records;
  skipped += o.skipped;
  for (auto& [key, theirs] : o.hours) {
    auto [it, fresh] = hours.try_emplace(key, std::move(theirs));
    if (fresh) continue;
    HourSums& mine = it->second;
    if (theirs.durations.empty()) {
    } else if (mine.durations.empty()) {
      mine.firstStart = theirs.firstStart;
      mine.lastEnd = theirs.lastEnd;
    } else {
      mine.firstStart = std::min(mine.firstStart, theirs.firstStart);
      mine.lastEnd = std::max(mine.lastEnd, theirs.lastEnd);
    }
    mine.durations.insert(mine.durations.end(), theirs.durations.begin(), theirs.durations.end());
    mine.row.phones += theirs.row.phones;
    mine.row.passed += theirs.row.passed;
    mine.row.failed += theirs.row.failed;
    mine.row.stopped += theirs.row.stopped;
    mine.row.shown += theirs.row.shown;
  }
  for (auto& [key, count] : o.failures) failures[key] += count;
  for (auto& [name, values] : o.steps) {
    auto& mine = steps[name];
    mine.insert(mine.end(), values.begin(), values.end());
  }
}

void FinishRow(HourRow& row, std::vector<std::int64_t>& durations) {
  row.yieldPercent = row.phones > 0 ? 100.0 * row.passed / row.phones : 0.0;
  row.unitsPerHour =
      row.workMs > 0 ? static_cast<double>(row.phones) * kHourMs / static_cast<double>(row.workMs)
                     : 0.0;
  row.medianMs = NearestRank(durations, 50);
  row.p95Ms = NearestRank(durations, 95);
}

ShiftReport Finish(Sums&& sums) {
  ShiftReport report;
  report.records = sums.records;
  report.skippedLines = sums.skipped;
  std::vector<std::int64_t> all;
  for (auto& [key, h] : sums.hours) {
    h.row.workMs = h.durations.empty() ? 0 : std::max<std::int64_t>(h.lastEnd - h.firstStart, 1);
    all.insert(all.end(), h.durations.begin(), h.durations.end());
    FinishRow(h.row, h.durations);
    report.total.phones += h.row.phones;
    report.total.passed += h.row.passed;
    report.total.failed += h.row.failed;
    report.total.stopped += h.row.stopped;
    report.total.shown += h.row.shown;
    report.total.workMs += h.row.workMs;
    report.hours.push_back(h.row);
  }
  FinishRow(report.total, all);
  for (const auto& [key, count] : sums.failures) {
    report.failures.push_back({key.first, key.second, count});
  }
  std::stable_sort(report.failures.begin(), report.failures.end(),
                   [](const FailureRow& a, const FailureRow& b) { return a.count > b.count; });
  for (auto& [name, values] : sums.steps) {
    StepRow row;
    row.name = name;
    row.count = static_cast<int>(values.size());
    row.medianMs = NearestRank(values, 50);
    row.p95Ms = NearestRank(values, 95);
    row.maxMs = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    report.slowestSteps.push_back(row);
  }
  std::stable_sort(report.slowestSteps.begin(), report.slowestSteps.end(),
                   [](const StepRow& a, const StepRow& b) {
                     return a.p95Ms != b.p95Ms ? a.p95Ms > b.p95Ms : a.maxMs > b.maxMs;
                   });
  if (report.slowestSteps.size() > static_cast<std::size_t>(kSlowestStepRows)) {
    report.slowestSteps.resize(kSlowestStepRows);
  }
  return report;
}

// Reads one file into `sums`; false when it cannot be read.
bool ReadFile(const QString& path, const QDate& from, const QDate& to, Sums* sums) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return false;
  JobRecord record;
  qsizetype at = 0;
  while (at < bytes.size()) {
    qsizetype end = bytes.indexOf('\n', at);
    if (end < 0) end = bytes.size();
    const QByteArrayView line(bytes.constData() + at, end - at);
    at = end + 1;
    if (line.trimmed().isEmpty()) continue;  // the line end put after a cut line
    if (!ParseJobRecordLine(line, &record)) {
      ++sums->skipped;
      continue;
    }
    const QDate day = record.startedAt.date();
    if ((from.isValid() && day < from) || (to.isValid() && day > to)) continue;
    sums->Add(record);
  }
  return true;
}

}  // namespace

QString FailureMessage(const JobRecord& r) {
  const QString first = r.resultText.section(QLatin1Char('\n'), 0, 0).trimmed();
  return first.isEmpty() ? QStringLiteral("(no message)") : first;
}

QString FailureStep(const JobRecord& r) {
  for (auto it = r.steps.rbegin(); it != r.steps.rend(); ++it) {
    if (it->code != 0) return it->name;
  }
  return r.steps.empty() ? QStringLiteral("-") : r.steps.back().name;
}

std::int64_t NearestRank(std::vector<std::int64_t>& values, double p) {
  if (values.empty()) return 0;
  const auto n = static_cast<double>(values.size());
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * n));
  rank = std::clamp<std::size_t>(rank, 1, values.size());
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank - 1);
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

ShiftReport SummariseRecords(const std::vector<JobRecord>& records) {
  Sums sums;
  for (const JobRecord& r : records) sums.Add(r);
  return Finish(std::move(sums));
}

ShiftReport BuildShiftReport(const QString& logFolder, const QDate& from, const QDate& to) {
  QStringList paths;
  const QDir dir(logFolder);
  for (const QString& name :
       dir.entryList({QStringLiteral("jobs-*.jsonl")}, QDir::Files, QDir::Name)) {
    const QDate day = JobRecordFileDay(name);
    if (!day.isValid()) continue;
    if ((from.isValid() && day < from) || (to.isValid() && day > to)) continue;
    paths << dir.filePath(name);
  }

  const unsigned threads =
      std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(),
                                      static_cast<unsigned>(std::max<qsizetype>(paths.size(), 1))));
  std::vector<Sums> parts(threads);
  std::vector<std::vector<QString>> unreadable(threads);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (qsizetype i = t; i < paths.size(); i += threads) {
        if (!ReadFile(paths.at(i), from, to, &parts[t])) unreadable[t].push_back(paths.at(i));
      }
    });
  }
  for (std::thread& w : workers) w.join();
  Sums sums;
  for (Sums& part : parts) sums.Merge(std::move(part));

  ShiftReport report = Finish(std::move(sums));
  report.from = from;
  report.to = to;
  report.files = static_cast<int>(paths.size());
  for (const auto& list : unreadable) {
    for (const QString& path : list) report.unreadableFiles << path;
  }
  report.unreadableFiles.sort();
  return report;
}

}  // namespace kestrel::records
