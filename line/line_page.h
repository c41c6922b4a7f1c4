// The line page (kestrel-cli line serve): every station of the line as a tile with its yield
// over the last hour, its last failure and how long ago it last passed a phone; and the same
// as JSON for a factory system.
//
// The page is whole without a script (the tiles are written here); its one inline script loads
// the page again every kRefreshSeconds and puts the new tiles in place, and shows the times in
// the browser's own clock. Nothing of a station's text reaches the page unescaped, and the
// script sets text only, never markup.
//
// JSON (/api/line):
//   {"at":"<UTC>","window_s":3600,"stations":[{"station":"K1","phones":50,"passed":48,
//    "failed":2,"yield":96.0,"last_pass":"<UTC>","since_pass_s":12,
//    "last_failure":{"at":"<station time>","outcome":"failed","step":"KV_WriteIMEI","code":5,
//    "message":"...","message_id":106}},...]}
// "yield" is null without phones in the window, "last_pass" and "since_pass_s" null without a
// pass, "last_failure" null without a failure; times are ISO 8601 with milliseconds.
#pragma once

#include "line/line_jobs.h"

#include <QByteArray>
#include <QString>

namespace kestrel::line {

constexpr int kRefreshSeconds = 5;
constexpr int kBoardWindowSeconds = 3600;

QByteArray LinePageHtml(const LineBoard& board);
QByteArray LinePageJson(const LineBoard& board);
// The page's inline script, for the content security policy's hash of it.
QByteArray LinePageScript();

// "12 s ago", "4 min ago", "2 h 5 min ago", "3 d ago"; "just now" for less than a second (or a
// time ahead of the server's clock).
QString AgoText(double seconds);

}  // namespace kestrel::line
