// printf-style formatting of string-table texts that cannot crash.
//
// Texts may come from a language module, so a conversion that does not match its argument,
// or a missing argument, must never read past what was given: conversions take the next
// argument as it is (a number for %d/%u/%x/%X/%c, a text for %s) and a missing one gives 0 or
// an empty text. Flags '-', '0', '+', ' ' and a width are honoured; %% gives "%".
#pragma once

#include <QString>

#include <cstdint>
#include <initializer_list>
#include <variant>

namespace kestrel::resources {

using FormatArg = std::variant<std::int64_t, QString>;

QString FormatText(const QString& format, std::initializer_list<FormatArg> args);

// FormatText applied to LoadString(id).
QString FormatString(int id, std::initializer_list<FormatArg> args);

}  // namespace kestrel::resources
