// kestrel-cli line report and line serve, on the connection the line command has set up
// (line_report_command.cpp, line_serve_command.cpp). Each returns the line command's exit code.
#pragma once

#include "line/line_database.h"

#include <QString>
#include <QStringList>

namespace kestrel::cli {

// The line command's exits.
constexpr int kLineExitDone = 0;
constexpr int kLineExitUsage = 2;
constexpr int kLineExitRefused = 3;
constexpr int kLineExitUnreachable = 4;

// The exit of a failed result, its reason on standard error.
int LineFailure(const line::LineResult& result);

// report [--station NAME] [--from DATE] [--to DATE] [--html FILE]: `station` is the one named
// (empty: every station the connection may read).
int RunLineReport(line::LineDatabase& line, const QString& station, QStringList options);
// serve --listen HOST:PORT
int RunLineServe(line::LineDatabase& line, QStringList options);

}  // namespace kestrel::cli
