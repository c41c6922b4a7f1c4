#include "device/ampvane/instrument_map.h"

#include <QList>
#include <QStringView>

#include <algorithm>

namespace kestrel::device::ampvane {

namespace {

// A decimal number of at most nine digits (no sign), as used for boards and addresses.
std::optional<int64_t> ParseSmallNumber(QStringView text) {
  if (text.isEmpty() || text.size() > 9) return std::nullopt;
  int64_t value = 0;
  for (const QChar c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c.unicode() - u'0');
  }
  return value;
}

QString Unquote(const QString& value) {
  if (value.size() >= 2) {
    const QChar first = value.front();
    if ((first == u'"' || first == u'\'') && value.back() == first) {
      return value.mid(1, value.size() - 2);
    }
  }
  return value;
}

bool StartsWithNoCase(const QString& text, QLatin1StringView prefix) {
  return text.startsWith(prefix, Qt::CaseInsensitive);
}

}  // namespace

std::optional<InstrumentLocation> ParseLocation(const QString& rawValue) {
  const QString value = rawValue.trimmed();
  InstrumentLocation loc;
  if (StartsWithNoCase(value, QLatin1StringView("tcp://"))) {
    QString rest = value.mid(6);
    if (rest.endsWith(u'/')) rest.chop(1);
    QString host;
    QString port;
    if (rest.startsWith(u'[')) {  // [IPv6]:port
      const qsizetype close = rest.indexOf(u']');
      if (close < 0 || close + 1 >= rest.size() || rest.at(close + 1) != u':') return std::nullopt;
      host = rest.mid(1, close - 1);
      port = rest.mid(close + 2);
    } else {
      const qsizetype colon = rest.lastIndexOf(u':');
      if (colon <= 0) return std::nullopt;
      host = rest.left(colon);
      port = rest.mid(colon + 1);
      if (host.contains(u':')) return std::nullopt;  // bare IPv6 needs brackets
    }
    const std::optional<int64_t> number = ParseSmallNumber(port);
    if (host.isEmpty() || !number || *number < 1 || *number > 65535) return std::nullopt;
    for (const QChar c : host) {
      if (c.isSpace() || c == u'/' || c == u'@') return std::nullopt;
    }
    loc.kind = InstrumentLocation::Kind::kTcp;
    loc.host = host;
    loc.port = static_cast<uint16_t>(*number);
    return loc;
  }

  QString path = value;
  bool usbtmc = false;
  if (StartsWithNoCase(path, QLatin1StringView("usbtmc:"))) {
    path = path.mid(7).trimmed();
    usbtmc = true;
  } else if (StartsWithNoCase(path, QLatin1StringView("serial:"))) {
    path = path.mid(7).trimmed();
  } else if (path.startsWith(QLatin1StringView("/dev/usbtmc"))) {
    usbtmc = true;
  }
  if (!path.startsWith(u'/') || path.contains(QChar(0))) return std::nullopt;

  if (usbtmc) {
    loc.kind = InstrumentLocation::Kind::kUsbtmc;
    loc.path = path;
    return loc;
  }
  loc.kind = InstrumentLocation::Kind::kSerial;
  const qsizetype comma = path.lastIndexOf(u',');
  if (comma >= 0) {
    const std::optional<int64_t> baud =
        ParseSmallNumber(QStringView(path).mid(comma + 1).trimmed());
    static constexpr int64_t kRates[] = {1200,  2400,  4800,   9600,  19200,
                                         38400, 57600, 115200, 230400};
    if (!baud || std::find(std::begin(kRates), std::end(kRates), *baud) == std::end(kRates)) {
      return std::nullopt;
    }
    loc.baud = static_cast<int>(*baud);
    path = path.left(comma).trimmed();
  }
  if (path.size() < 2) return std::nullopt;
  loc.path = path;
  return loc;
}

InstrumentMap InstrumentMap::Parse(const QByteArray& raw) {
  InstrumentMap map;
  QByteArray text = raw;
  if (text.startsWith("\xEF\xBB\xBF")) text.remove(0, 3);
  const QString all = QString::fromUtf8(text);

  enum class Section { kOther, kBoard, kOptions };
  Section section = Section::kOther;
  int64_t board = 0;
  bool timeoutSeen = false;
  for (QStringView line : QStringView(all).split(u'\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.front() == u';' || line.front() == u'#') continue;
    if (line.front() == u'[') {
      const qsizetype close = line.indexOf(u']');
      const QStringView name = (close < 0 ? line.mid(1) : line.mid(1, close - 1)).trimmed();
      section = Section::kOther;
      if (name.startsWith(QLatin1StringView("GPIB"), Qt::CaseInsensitive)) {
        if (const std::optional<int64_t> n = ParseSmallNumber(name.mid(4))) {
          section = Section::kBoard;
          board = *n;
        }
      } else if (name.compare(QLatin1StringView("Ampvane"), Qt::CaseInsensitive) == 0) {
        section = Section::kOptions;
      }
      continue;
    }
    const qsizetype eq = line.indexOf(u'=');
    if (eq <= 0) continue;
    const QStringView key = line.left(eq).trimmed();
    const QString value = Unquote(line.mid(eq + 1).trimmed().toString());
    if (section == Section::kBoard) {
      if (const std::optional<int64_t> address = ParseSmallNumber(key)) {
        map.entries_.try_emplace({board, *address}, value);  // the first of duplicates wins
      }
    } else if (section == Section::kOptions && !timeoutSeen &&
               key.compare(QLatin1StringView("Timeout"), Qt::CaseInsensitive) == 0) {
      timeoutSeen = true;
      if (const std::optional<int64_t> ms = ParseSmallNumber(value)) {
        map.timeoutMs_ = static_cast<int>(std::clamp<int64_t>(*ms, kMinTimeoutMs, kMaxTimeoutMs));
      }
    }
  }
  return map;
}

std::optional<QString> InstrumentMap::Find(int32_t board, int32_t address) const {
  const auto it = entries_.find({board, address});
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

}  // namespace kestrel::device::ampvane
