#include "records/job_record.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrel::records {
namespace {

const QString kPrefix = QStringLiteral("jobs-");
const QString kSuffix = QStringLiteral(".jsonl");

// A reader of one record line: JSON as RFC 8259 has it, taken in one pass without building a
// document (a month of records is read in well under the report's time). Keys it does not know
// are skipped; anything malformed or cut short fails the whole line.
class RecordReader {
 public:
  RecordReader(const char* begin, const char* end) : p_(begin), end_(end) {}

  bool Record(JobRecord* r) {
    bool haveStart = false, haveOutcome = false, haveMs = false;
    const bool ok = Object([&](QByteArrayView key) {
      if (key == "start") {
        haveStart = true;
        return Time(&r->startedAt);
      }
      if (key == "outcome") {
        haveOutcome = true;
        return String(&r->outcome);
      }
      if (key == "ms") {
        haveMs = true;
        return Integer(&r->durationMs);
      }
      if (key == "station") return String(&r->station);
      if (key == "mode") return String(&r->mode);
      if (key == "kind") return String(&r->kind);
      if (key == "result") return String(&r->resultText);
      if (key == "host") return String(&r->host);
      if (key == "pass") return Unsigned32(&r->passCount);
      if (key == "fail") return Unsigned32(&r->failCount);
      if (key == "ids") {
        return Object([&](QByteArrayView name) {
          QString value;
          if (!String(&value)) return false;
          r->identities.emplace_back(QString::fromUtf8(name), value);
          return true;
        });
      }
      if (key == "steps") return Array([&] { return Step(r); });
      if (key == "link") {
        return Object([&](QByteArrayView name) {
          std::int64_t v = 0;
          if (name == "requests" || name == "retransmissions") {
            if (!Integer(&v)) return false;
            (name == "requests" ? r->requests : r->retransmissions) =
                static_cast<std::uint64_t>(std::max<std::int64_t>(v, 0));
            return true;
          }
          return Skip(0);
        });
      }
      return Skip(0);
    });
    SkipSpace();
    return ok && p_ == end_ && haveStart && haveOutcome && haveMs && r->startedAt.isValid();
  }

 private:
  static constexpr int kMaxDepth = 32;

  bool Step(JobRecord* r) {
    JobRecordStep step;
    std::int64_t code = 0;
    if (!Object([&](QByteArrayView key) {
          if (key == "name") return Name(&step.name);
          if (key == "at") return Integer(&step.startOffsetMs);
          if (key == "ms") return Integer(&step.durationMs);
          if (key == "code") return Integer(&code);
          return Skip(0);
        })) {
      return false;
    }
    if (code < std::numeric_limits<std::int32_t>::min() ||
        code > std::numeric_limits<std::int32_t>::max()) {
      return false;
    }
    step.code = static_cast<std::int32_t>(code);
    r->steps.push_back(std::move(step));
    return true;
  }

  void SkipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool Take(char c) {
    SkipSpace();
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }

  // '{' (key ':' value (',' key ':' value)*)? '}', calling `member` with each key, the reader
  // standing before its value.
  template <typename F>
  bool Object(F&& member) {
    if (!Take('{')) return false;
    if (Take('}')) return true;
    QByteArray keyBytes;  // only for a key with escapes
    do {
      SkipSpace();
      QByteArrayView key;
      if (!StringView(&key, &keyBytes) || !Take(':')) return false;
      if (!member(key)) return false;
    } while (Take(','));
    return Take('}');
  }

  template <typename F>
  bool Array(F&& element) {
    if (!Take('[')) return false;
    if (Take(']')) return true;
    do {
      if (!element()) return false;
    } while (Take(','));
    return Take(']');
  }

  static void PutUtf8(char32_t c, QByteArray* out) {
    if (c < 0x80) {
      out->append(static_cast<char>(c));
    } else if (c < 0x800) {
      out->append(static_cast<char>(0xC0 | (c >> 6)));
      out->append(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->append(static_cast<char>(0xE0 | (c >> 12)));
      out->append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->append(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->append(static_cast<char>(0xF0 | (c >> 18)));
      out->append(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->append(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->append(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  bool Hex4(char32_t* v) {
    if (end_ - p_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return false;
      *v = *v * 16 + static_cast<char32_t>(d);
    }
    return true;
  }

  // A string's bytes (UTF-8, escapes resolved); the reader stands on its opening quote. The
  // view points into the line, or into `buffer` when the string has escapes.
  bool StringView(QByteArrayView* view, QByteArray* buffer) {
    if (p_ >= end_ || *p_ != '"') return false;
    const char* first = p_ + 1;
    const char* q = first;
    while (q < end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20) ++q;
    if (q < end_ && *q == '"') {
      *view = QByteArrayView(first, q - first);
      p_ = q + 1;
      return true;
    }
    if (!RawString(buffer)) return false;
    *view = QByteArrayView(*buffer);
    return true;
  }

  bool RawString(QByteArray* out) {
    out->resize(0);
    if (p_ >= end_ || *p_ != '"') return false;
    ++p_;
    const char* run = p_;
    for (;;) {
      if (p_ >= end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out->append(run, p_ - run);
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        ++p_;
        continue;
      }
      out->append(run, p_ - run);
      if (++p_ >= end_) return false;
      const char e = *p_++;
      switch (e) {
        case '"':
          out->append('"');
          break;
        case '\\':
          out->append('\\');
          break;
        case '/':
          out->append('/');
          break;
        case 'b':
          out->append('\b');
          break;
        case 'f':
          out->append('\f');
          break;
        case 'n':
          out->append('\n');
          break;
        case 'r':
          out->append('\r');
          break;
        case 't':
          out->append('\t');
          break;
        case 'u': {
          char32_t u = 0;
          if (!Hex4(&u)) return false;
          if (u >= 0xD800 && u <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
            const char* back = p_;
            p_ += 2;
            char32_t low = 0;
            if (Hex4(&low) && low >= 0xDC00 && low <= 0xDFFF) {
              u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            } else {
              p_ = back;
            }
          }
          if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // a lone surrogate
          PutUtf8(u, out);
          break;
        }
        default:
          return false;
      }
      run = p_;
    }
  }

  bool String(QString* out) {
    SkipSpace();
    QByteArrayView v;
    if (!StringView(&v, &scratch_)) return false;
    *out = QString::fromUtf8(v);
    return true;
  }

  // A step name: the few names of a station come back again and again, so they are kept.
  bool Name(QString* out) {
    SkipSpace();
    QByteArrayView v;
    if (!StringView(&v, &scratch_)) return false;
    thread_local std::vector<std::pair<QByteArray, QString>> names;
    for (const auto& [bytes, text] : names) {
      if (QByteArrayView(bytes) == v) {
        *out = text;
        return true;
      }
    }
    *out = QString::fromUtf8(v);
    if (names.size() < 64) names.emplace_back(v.toByteArray(), *out);
    return true;
  }

  // Passes over a JSON number; `whole` tells whether it has neither fraction nor exponent.
  bool ScanNumber(bool* whole) {
    SkipSpace();
    *whole = true;
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ >= end_ || *p_ < '0' || *p_ > '9') return false;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ < end_ && *p_ == '.') {
      *whole = false;
      if (++p_ >= end_ || *p_ < '0' || *p_ > '9') return false;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      *whole = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ >= end_ || *p_ < '0' || *p_ > '9') return false;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    return true;
  }

  // A JSON number, kept as a whole number (a fraction is cut off). Out of the 64-bit range:
  // malformed.
  bool Integer(std::int64_t* out) {
    SkipSpace();
    const char* begin = p_;
    bool whole = true;
    if (!ScanNumber(&whole)) return false;
    if (whole) {
      const auto [ptr, ec] = std::from_chars(begin, p_, *out);
      return ec == std::errc() && ptr == p_;
    }
    double d = 0;
    const auto [ptr, ec] = std::from_chars(begin, p_, d);
    if (ec != std::errc() || ptr != p_ || !std::isfinite(d) || std::fabs(d) >= 9.2e18) return false;
    *out = static_cast<std::int64_t>(d);
    return true;
  }

  bool Unsigned32(std::uint32_t* out) {
    std::int64_t v = 0;
    if (!Integer(&v) || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
  }

  static bool Digits(const char* p, int n, int* out) {
    *out = 0;
    for (int i = 0; i < n; ++i) {
      if (p[i] < '0' || p[i] > '9') return false;
      *out = *out * 10 + (p[i] - '0');
    }
    return true;
  }

  // "YYYY-MM-DDTHH:MM:SS[.fff]" then "Z" or "+HH:MM" / "-HH:MM".
  bool Time(QDateTime* out) {
    SkipSpace();
    QByteArrayView v;
    if (!StringView(&v, &scratch_)) return false;
    const char* s = v.data();
    const qsizetype n = v.size();
    int y, mo, d, h, mi, se, ms = 0;
    if (n < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
        !Digits(s, 4, &y) || !Digits(s + 5, 2, &mo) || !Digits(s + 8, 2, &d) ||
        !Digits(s + 11, 2, &h) || !Digits(s + 14, 2, &mi) || !Digits(s + 17, 2, &se)) {
      return false;
    }
    qsizetype at = 19;
    if (s[at] == '.') {
      if (n < at + 4 || !Digits(s + at + 1, 3, &ms)) return false;
      at += 4;
    }
    int offset = 0;
    if (n == at + 1 && s[at] == 'Z') {
      offset = 0;
    } else if (n == at + 6 && (s[at] == '+' || s[at] == '-') && s[at + 3] == ':') {
      int oh, om;
      if (!Digits(s + at + 1, 2, &oh) || !Digits(s + at + 4, 2, &om) || oh > 23 || om > 59) {
        return false;
      }
      offset = (oh * 60 + om) * 60 * (s[at] == '-' ? -1 : 1);
    } else {
      return false;
    }
    const QDate date(y, mo, d);
    const QTime time(h, mi, se, ms);
    if (!date.isValid() || !time.isValid()) return false;
    *out = QDateTime(date, time, Qt::OffsetFromUTC, offset);
    return out->isValid();
  }

  // Any value, checked and passed over.
  bool Skip(int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (p_ >= end_) return false;
    switch (*p_) {
      case '{':
        return Object([&](QByteArrayView) { return Skip(depth + 1); });
      case '[':
        return Array([&] { return Skip(depth + 1); });
      case '"': {
        QByteArrayView ignored;
        return StringView(&ignored, &scratch_);
      }
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default: {
        bool whole = true;
        return ScanNumber(&whole);
      }
    }
  }

  bool Word(const char* word) {
    const auto n = static_cast<qsizetype>(std::strlen(word));
    if (end_ - p_ < n || std::memcmp(p_, word, static_cast<std::size_t>(n)) != 0) return false;
    p_ += n;
    return true;
  }

  const char* p_;
  const char* end_;
  QByteArray scratch_;
};

}  // namespace

QString JobRecordFileName(const QDate& day) {
  return kPrefix + day.toString(QStringLiteral("yyyy-MM-dd")) + kSuffix;
}

QDate JobRecordFileDay(const QString& fileName) {
  static const QRegularExpression pattern(QStringLiteral("^jobs-(\\d{4}-\\d{2}-\\d{2})\\.jsonl$"));
  const QRegularExpressionMatch m = pattern.match(fileName);
  if (!m.hasMatch()) return {};
  return QDate::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd"));
}

QString FormatRecordTime(const QDateTime& when) {
  const int offset = when.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
         QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

namespace {

// A JSON string: UTF-8, with the quote, the backslash and the control characters escaped.
void PutString(const QString& text, QByteArray* out) {
  out->append('"');
  const QByteArray bytes = text.toUtf8();
  for (char c : bytes) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          const auto u = static_cast<unsigned char>(c);
          out->append("\\u00").append(kHex[u >> 4]).append(kHex[u & 0xF]);
        } else {
          out->append(c);
        }
    }
  }
  out->append('"');
}

void PutKey(const char* key, QByteArray* out) {
  if (!out->endsWith('{')) out->append(',');
  out->append('"').append(key).append("\":");
}

void PutNumber(const char* key, long long value, QByteArray* out) {
  PutKey(key, out);
  out->append(QByteArray::number(value));
}

void PutText(const char* key, const QString& value, QByteArray* out) {
  PutKey(key, out);
  PutString(value, out);
}

}  // namespace

QByteArray ComposeJobRecordLine(const JobRecord& r) {
  QByteArray line;
  line.reserve(512 + 64 * static_cast<qsizetype>(r.steps.size()) + 2 * r.resultText.size());
  line.append('{');
  PutText("station", r.station, &line);
  PutText("start", FormatRecordTime(r.startedAt), &line);
  PutText("mode", r.mode, &line);
  PutText("kind", r.kind, &line);
  PutText("outcome", r.outcome, &line);
  PutNumber("ms", r.durationMs, &line);
  PutText("result", r.resultText, &line);
  PutKey("ids", &line);
  line.append('{');
  for (const auto& [name, value] : r.identities) {
    if (!line.endsWith('{')) line.append(',');
    PutString(name, &line);
    line.append(':');
    PutString(value, &line);
  }
  line.append('}');
  PutKey("steps", &line);
  line.append('[');
  for (const JobRecordStep& step : r.steps) {
    if (!line.endsWith('[')) line.append(',');
    line.append('{');
    PutText("name", step.name, &line);
    PutNumber("at", step.startOffsetMs, &line);
    PutNumber("ms", step.durationMs, &line);
    PutNumber("code", step.code, &line);
    line.append('}');
  }
  line.append(']');
  PutNumber("pass", r.passCount, &line);
  PutNumber("fail", r.failCount, &line);
  PutKey("link", &line);
  line.append('{');
  PutNumber("requests", static_cast<long long>(r.requests), &line);
  PutNumber("retransmissions", static_cast<long long>(r.retransmissions), &line);
  line.append('}');
  if (!r.host.isEmpty()) PutText("host", r.host, &line);
  line.append("}\n");
  return line;
}

bool ParseJobRecordLine(QByteArrayView line, JobRecord* record) {
  if (line.endsWith('\n')) line.chop(1);
  if (line.endsWith('\r')) line.chop(1);
  RecordReader reader(line.data(), line.data() + line.size());
  JobRecord r;
  if (!reader.Record(&r)) return false;
  *record = std::move(r);
  return true;
}

}  // namespace kestrel::records
