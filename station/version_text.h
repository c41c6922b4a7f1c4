// The texts of the version checks: the phone's reply to the diagnostic AT command turned into
// its version text, and the line breaks put before the words of a version text. Pure
// functions on the bytes or characters the phone gave; any input is safe.
#pragma once

#include <QByteArray>
#include <QString>

#include <initializer_list>
#include <type_traits>

namespace kestrel::station {

// The diagnostic command that asks the phone for its AP version: "AT+KVDIAG=" and the quoted
// argument, 28 characters.
inline constexpr char kApDiagCommand[] = "AT+KVDIAG=\"0000000008000000\"";
inline constexpr int kApDiagCommandLength = sizeof(kApDiagCommand) - 1;

// The text between the reply's first and second double quote (empty without a second one).
// Without any quote the whole reply counts as the part after the first.
QByteArray QuotedPart(const QByteArray& reply);

// Pairs of hex digits as bytes, up to the first zero byte: "0"-"9" count 0-9, any other
// character its code minus 55 (so "A"-"F" count 10-15). A last unpaired character is left out.
QByteArray DecodeHexPairs(const QByteArray& hex);

// The version text in a reply to kApDiagCommand: the quoted part; when it holds "00000000",
// the command's length of leading characters dropped and the rest hex-decoded.
QByteArray DiagReplyVersion(const QByteArray& reply);

// Puts "\r\n" before the first occurrence of each word, in the order given; a word that is
// missing gets its "\r\n" at the start. T is QByteArray or QString.
template <typename T>
T BreakBeforeWords(T text, std::initializer_list<const char*> words) {
  for (const char* word : words) {
    qsizetype at;
    if constexpr (std::is_same_v<T, QString>) {
      at = text.indexOf(QLatin1String(word));
      text.insert(at < 0 ? 0 : at, QLatin1String("\r\n"));
    } else {
      at = text.indexOf(word);
      text.insert(at < 0 ? 0 : at, "\r\n");
    }
  }
  return text;
}

}  // namespace kestrel::station
