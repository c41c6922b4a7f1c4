#include "records/result_text.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define KESTREL_RECORDS_X86 1
#endif

namespace kestrel::records {
namespace {

constexpr qint64 kPieceBytes = 1 << 20;

// The first position of `needle` (at least 2 bytes) in `hay`, or -1. Candidates are the places
// where the needle's first and last bytes both match, found many at a time; only those are
// compared whole.
#ifdef KESTREL_RECORDS_X86
qsizetype FindSse2(const char* hay, qsizetype n, const char* needle, qsizetype m) {
  const __m128i first = _mm_set1_epi8(needle[0]);
  const __m128i last = _mm_set1_epi8(needle[m - 1]);
  qsizetype i = 0;
  for (; i + 16 + m - 1 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + m - 1));
    auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    while (mask != 0) {
      const int k = __builtin_ctz(mask);
      if (std::memcmp(hay + i + k + 1, needle + 1, static_cast<std::size_t>(m - 2)) == 0) {
        return i + k;
      }
      mask &= mask - 1;
    }
  }
  for (; i + m <= n; ++i) {
    if (std::memcmp(hay + i, needle, static_cast<std::size_t>(m)) == 0) return i;
  }
  return -1;
}

__attribute__((target("avx2"))) qsizetype FindAvx2(const char* hay, qsizetype n, const char* needle,
                                                   qsizetype m) {
  const __m256i first = _mm256_set1_epi8(needle[0]);
  const __m256i last = _mm256_set1_epi8(needle[m - 1]);
  qsizetype i = 0;
  for (; i + 32 + m - 1 <= n; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i + m - 1));
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last))));
    while (mask != 0) {
      const int k = __builtin_ctz(mask);
      if (std::memcmp(hay + i + k + 1, needle + 1, static_cast<std::size_t>(m - 2)) == 0) {
        return i + k;
      }
      mask &= mask - 1;
    }
  }
  const qsizetype rest = FindSse2(hay + i, n - i, needle, m);
  return rest < 0 ? -1 : i + rest;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

qsizetype Find(QByteArrayView hay, QByteArrayView needle) {
  const qsizetype n = hay.size();
  const qsizetype m = needle.size();
  if (m > n) return -1;
  if (m == 1) {
    const void* p = std::memchr(hay.data(), needle[0], static_cast<std::size_t>(n));
    return p == nullptr ? -1 : static_cast<const char*>(p) - hay.data();
  }
#ifdef KESTREL_RECORDS_X86
  if (HasAvx2()) return FindAvx2(hay.data(), n, needle.data(), m);
  return FindSse2(hay.data(), n, needle.data(), m);
#else
  const auto it = std::search(hay.begin(), hay.end(),
                              std::boyer_moore_horspool_searcher(needle.begin(), needle.end()));
  return it == hay.end() ? -1 : it - hay.begin();
#endif
}

// The IMEI as the bytes it has in the file, or false when it has a character no byte of the
// file can stand for.
bool NeedleBytes(const QString& imei, QByteArray* bytes) {
  for (QChar c : imei) {
    if (c.unicode() > 0xFF) return false;
  }
  *bytes = imei.toLatin1();
  return true;
}

}  // namespace

QString FormatSaveStamp(const QDateTime& when) {
  const QDate d = when.date();
  const QTime t = when.time();
  return QString::asprintf("%d-%02d-%02d-%02d-%02d-%02d", d.year(), d.month(), d.day(), t.hour(),
                           t.minute(), t.second());
}

QByteArray ComposeResultLine(const config::StationSettings& s, const RecordIdentities& ids,
                             const QString& stamp) {
  QString line = stamp + QStringLiteral(", IMEI:") + ids.IMEI1;
  if (s.IMEI2Enabled != 0) line += QStringLiteral(", IMEI2:") + ids.IMEI2;
  if (s.IMEI3Enabled != 0) line += QStringLiteral(", IMEI3:") + ids.IMEI3;
  if (s.IMEI4Enabled != 0) line += QStringLiteral(", IMEI4:") + ids.IMEI4;
  if (s.WIFI_ADDR != 0) line += QStringLiteral(", WIFI:") + ids.WIFI;
  if (s.BT_ADDR != 0) line += QStringLiteral(", BT:") + ids.BT;
  if (s.WriteSN != 0 && s.SN1Enabled != 0) line += QStringLiteral(", SN1:") + ids.SN1;
  if (s.WriteSN != 0 && s.SN2Enabled != 0) line += QStringLiteral(", SN2:") + ids.SN2;
  QByteArray bytes;
  bytes.reserve(line.size() + 2);
  for (QChar c : line) bytes += c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '?';
  bytes += "\r\n";
  return bytes;
}

bool TextLinesContain(QByteArrayView text, QByteArrayView needle) {
  if (needle.isEmpty()) return !text.isEmpty();
  if (needle.contains('\n') || needle.contains('\r')) return false;
  // Without line ends in the needle, any place it stands lies inside one line.
  return Find(text, needle) >= 0;
}

TextLookup FindInResultText(const QString& path, const QString& imei) {
  return FindInResultTextInPieces(path, imei, kPieceBytes);
}

TextLookup FindInResultTextInPieces(const QString& path, const QString& imei, qint64 pieceBytes) {
  pieceBytes = std::max<qint64>(pieceBytes, 1);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) return TextLookup::Unreadable;
  QByteArray needle;
  const bool possible = NeedleBytes(imei, &needle);
  if (needle.isEmpty() || needle.contains('\n') || needle.contains('\r') || !possible) {
    // Rare needles: decided on the first byte alone (empty) or never present.
    char c;
    const qint64 got = file.read(&c, 1);
    if (got < 0) return TextLookup::Unreadable;
    return possible && needle.isEmpty() && got == 1 ? TextLookup::Present : TextLookup::Absent;
  }
  // Pieces overlap by needle length - 1 bytes so that a match across a piece border is seen.
  const qsizetype keep = needle.size() - 1;
  std::vector<char> buffer(static_cast<std::size_t>(pieceBytes + keep));
  qsizetype held = 0;
  for (;;) {
    const qint64 got = file.read(buffer.data() + held, pieceBytes);
    if (got < 0) return TextLookup::Unreadable;
    if (got == 0) return TextLookup::Absent;
    const qsizetype n = held + static_cast<qsizetype>(got);
    if (Find(QByteArrayView(buffer.data(), n), needle) >= 0) return TextLookup::Present;
    held = std::min(n, keep);
    std::memmove(buffer.data(), buffer.data() + n - held, static_cast<std::size_t>(held));
  }
}

bool LinesHolding(const QString& path, const QString& imei, QList<QByteArray>* lines) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  QByteArray needle;
  const bool possible = NeedleBytes(imei, &needle);
  while (!file.atEnd()) {
    QByteArray line = file.readLine();
    if (line.isEmpty() && file.error() != QFileDevice::NoError) return false;
    const bool ended = line.endsWith('\n');
    if (possible && TextLinesContain(line, needle)) {
      if (ended) line.chop(1);
      if (line.endsWith('\r')) line.chop(1);
      lines->append(line);
    }
  }
  return true;
}

}  // namespace kestrel::records
