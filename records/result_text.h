// IMEI.txt, the result text file: one line per saved phone, appended, never rewritten.
//
// Line: "<stamp>, IMEI:<IMEI1>[, IMEI2:..][, IMEI3:..][, IMEI4:..][, WIFI:..][, BT:..]
// [, SN1:..][, SN2:..]" and CR LF, where the parts after IMEI1 follow IMEI2Enabled,
// IMEI3Enabled, IMEI4Enabled, WIFI_ADDR, BT_ADDR, and WriteSN together with SN1Enabled /
// SN2Enabled. Wi-Fi comes before BT. Lines hold ASCII only.
#pragma once

#include "config/station_settings.h"
#include "records/record_identities.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

namespace kestrel::records {

// "%d-%02d-%02d-%02d-%02d-%02d": year, month, day, hour, minute, second of `when`.
QString FormatSaveStamp(const QDateTime& when);

// The line of a saved phone with its CR LF. A character outside ASCII (which the entry fields
// never let through) is written as '?'.
QByteArray ComposeResultLine(const config::StationSettings& settings, const RecordIdentities& ids,
                             const QString& stamp);

enum class TextLookup { Absent, Present, Unreadable };

// Whether `needle` stands anywhere in any line of `text` (lines end in LF, a CR before the LF
// belongs to the line end). A needle holding CR or LF can stand in no line; an empty needle
// stands in every line, so it is present when the text is not empty.
bool TextLinesContain(QByteArrayView text, QByteArrayView needle);

// TextLinesContain over the file at `path`, read in large pieces so that its length does not
// matter; Unreadable when the file cannot be opened or read.
TextLookup FindInResultText(const QString& path, const QString& imei);
// The same with the piece size given (at least 1 byte), for tests of the piece borders.
TextLookup FindInResultTextInPieces(const QString& path, const QString& imei, qint64 pieceBytes);

// Every line of the file holding `imei` (without its line end); false when the file cannot be
// read.
bool LinesHolding(const QString& path, const QString& imei, QList<QByteArray>* lines);

}  // namespace kestrel::records
