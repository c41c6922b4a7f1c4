#include "records/line_job_summary.h"

#include "records/job_report.h"
#include "resources/string_table.h"

#include <QRegularExpression>

#include <algorithm>
#include <map>

namespace kestrel::records {
namespace {

bool Digits15(const QString& text) {
  return text.size() == 15 && std::all_of(text.begin(), text.end(), [](QChar c) {
           return c >= QLatin1Char('0') && c <= QLatin1Char('9');
         });
}

// A text of the string table as a pattern of its first line: the fixed characters as they are,
// each conversion as what it may print. *fixed receives how many characters are fixed.
QString PatternOf(const QString& format, int* fixed) {
  const QString text = format.section(QLatin1Char('\n'), 0, 0).trimmed();
  QString pattern;
  QString literal;
  *fixed = 0;
  auto flush = [&] {
    pattern += QRegularExpression::escape(literal);
    *fixed += static_cast<int>(literal.size());
    literal.clear();
  };
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text.at(i) != QLatin1Char('%')) {
      literal += text.at(i);
      continue;
    }
    qsizetype j = i + 1;
    while (j < text.size() && QStringLiteral("-0+ ").contains(text.at(j))) ++j;
    while (j < text.size() && text.at(j).isDigit()) ++j;
    if (j >= text.size()) {
      literal += text.mid(i);
      break;
    }
    const QChar c = text.at(j);
    if (c == QLatin1Char('%')) {
      literal += QLatin1Char('%');
    } else {
      flush();
      if (c == QLatin1Char('d') || c == QLatin1Char('u')) {
        pattern += QStringLiteral("\\s*[-+]?\\d+");
      } else if (c == QLatin1Char('x') || c == QLatin1Char('X')) {
        pattern += QStringLiteral("\\s*[0-9A-Fa-f]+");
      } else {
        pattern += QStringLiteral(".*?");
      }
    }
    i = j;
  }
  flush();
  return pattern;
}

// A text's pattern, made once per thread for each text met (a language module may change the
// texts): each thread keeps its own, so that no compiled pattern is shared between threads.
struct Pattern {
  QString format;
  QRegularExpression re;
  int fixed = 0;
};

const Pattern& PatternFor(int id, const QString& format) {
  thread_local std::map<int, Pattern> patterns;
  Pattern& p = patterns[id];
  if (p.format != format) {
    p.format = format;
    p.re = QRegularExpression(QRegularExpression::anchoredPattern(PatternOf(format, &p.fixed)),
                              QRegularExpression::DotMatchesEverythingOption);
  }
  return p;
}

}  // namespace

int ResultMessageId(const QString& text) {
  const QString line = text.section(QLatin1Char('\n'), 0, 0).trimmed();
  if (line.isEmpty()) return 0;
  int best = 0;
  int bestFixed = 0;
  for (int id = resources::kFirstStringId; id <= resources::kLastStringId; ++id) {
    const QString format = resources::LoadString(id);
    if (format.trimmed().isEmpty()) continue;
    const Pattern& p = PatternFor(id, format);
    if (p.fixed > bestFixed && p.re.match(line).hasMatch()) {
      best = id;
      bestFixed = p.fixed;
    }
  }
  return best;
}

line::LineJob LineJobOf(const JobRecord& r) {
  line::LineJob j;
  j.started = r.startedAt;
  j.durationMs = std::max<std::int64_t>(r.durationMs, 0);
  j.mode = r.mode;
  j.kind = r.kind;
  j.outcome = r.outcome;
  if (r.outcome != QLatin1String("passed") && !r.steps.empty()) {
    // The step FailureStep ranks it under: the last one with a nonzero code, else the last.
    const auto failed = std::find_if(r.steps.rbegin(), r.steps.rend(),
                                     [](const JobRecordStep& s) { return s.code != 0; });
    const JobRecordStep& step = failed != r.steps.rend() ? *failed : r.steps.back();
    j.step = step.name;
    j.code = step.code;
  }
  j.message = FailureMessage(r).left(line::kLineJobMessageChars);
  j.messageId = ResultMessageId(r.resultText);
  for (const auto& [slot, value] : r.identities) {
    if (slot == QLatin1String("IMEI1") && Digits15(value)) j.imei1 = value;
  }
  return j;
}

JobRecord JobRecordOf(const line::LineJob& j) {
  JobRecord r;
  r.station = j.station;
  r.startedAt = j.started;
  r.durationMs = j.durationMs;
  r.mode = j.mode;
  r.kind = j.kind;
  r.outcome = j.outcome;
  r.resultText = j.message;
  if (!j.step.isEmpty()) r.steps.push_back({j.step, 0, 0, j.code});
  if (!j.imei1.isEmpty()) r.identities.emplace_back(QStringLiteral("IMEI1"), j.imei1);
  return r;
}

}  // namespace kestrel::records
