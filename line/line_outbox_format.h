// One line of the station's line outbox (line/line_outbox.h), as text:
//
//   K1 <seq> <kind> <at> [<name>=<value>]... *<crc>
//
// K1 is the format's version: a build that meets a later one reports the line and leaves it be.
// <seq> numbers the records of one outbox (0 for its header), <kind> says what the record is
// (lower-case letters, digits and '-'), <at> is when it was written (UTC,
// yyyy-MM-ddTHH:mm:ss.zzzZ), and the fields follow as name=value pairs: names of letters, digits
// and '_', values as UTF-8 with every byte outside '!'..'~' and every '%' written as %XX. <crc>
// is the CRC-32 of the line's bytes before " *", as eight lower-case hexadecimal digits, so
// that a line cut by a crash or changed by hand is told from a whole one.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

namespace kestrel::line {

struct LineOutboxRecord {
  qint64 seq = 0;
  QString kind;
  QDateTime at;  // UTC, to the millisecond
  std::vector<std::pair<QString, QString>> fields;

  // The value of the first field of that name; empty when there is none.
  QString Field(const QString& name) const;
  bool Has(const QString& name) const;
  void Add(const QString& name, const QString& value) { fields.emplace_back(name, value); }
};

// The CRC-32 (IEEE 802.3) of the bytes.
std::uint32_t OutboxCrc32(const char* data, qsizetype size);

// The record as one line, with its line end. The kind and field names must be of their form
// (ValidOutboxName), the seq not negative.
QByteArray EncodeOutboxRecord(const LineOutboxRecord& record);

// One line (without its line end) back into a record. False, with the reason, for a line that
// is not a whole line of this format: another version, a bad checksum, a field out of form.
bool DecodeOutboxRecord(const QByteArray& line, LineOutboxRecord* record, QString* why);

// Whether `name` is a kind (lower-case letters, digits, '-') or, with `field`, a field name.
bool ValidOutboxName(const QString& name, bool field);

}  // namespace kestrel::line
