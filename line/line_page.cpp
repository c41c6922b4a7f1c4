#include "line/line_page.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace kestrel::line {
namespace {

// A tile's colour: its yield over the window.
constexpr double kGoodYield = 95.0;
constexpr double kFairYield = 85.0;

QString Esc(const QString& text) {
  QString out = text.toHtmlEscaped();
  out.replace(QLatin1Char('\''), QStringLiteral("&#39;"));
  return out;
}

double YieldOf(const LineBoardStation& s) {
  return s.phones > 0 ? 100.0 * static_cast<double>(s.passed) / static_cast<double>(s.phones) : 0.0;
}

QString Utc(const QDateTime& t) {
  return t.toUTC().toString(Qt::ISODateWithMs);
}

QString WindowText(int seconds) {
  if (seconds == 3600) return QStringLiteral("the last hour");
  if (seconds % 3600 == 0) return QStringLiteral("the last %1 hours").arg(seconds / 3600);
  return QStringLiteral("the last %1 minutes").arg(std::max(1, seconds / 60));
}

QString Tile(const LineBoardStation& s, const LineBoard& b) {
  const double yield = YieldOf(s);
  const char* grade = s.phones == 0          ? "idle"
                      : yield >= kGoodYield ? "good"
                      : yield >= kFairYield ? "fair"
                                            : "poor";
  QString t = QStringLiteral("<section class=\"tile %1\" data-station=\"%2\">\n<h2 dir=\"auto\">%2</h2>\n")
                  .arg(QLatin1String(grade), Esc(s.station));
  if (s.phones > 0) {
    t += QStringLiteral("<p class=\"yield\">%1 %</p>\n<p class=\"phones\">%2 of %3 phones passed in %4</p>\n")
             .arg(QString::number(yield, 'f', 1))
             .arg(s.passed)
             .arg(s.phones)
             .arg(WindowText(b.windowSeconds));
  } else {
    t += QStringLiteral("<p class=\"yield\">&#8211;</p>\n<p class=\"phones\">no phones in %1</p>\n")
             .arg(WindowText(b.windowSeconds));
  }
  if (s.lastPass.isValid()) {
    t += QStringLiteral("<p class=\"pass\">last pass <span class=\"ago\">%1</span></p>\n")
             .arg(Esc(AgoText(s.sincePassS)));
  } else {
    t += QStringLiteral("<p class=\"pass\">no phone passed yet</p>\n");
  }
  if (s.failedAt.isValid()) {
    QString where = s.failedStep.isEmpty() ? QStringLiteral("before any step")
                                           : QStringLiteral("at %1 (code %2)")
                                                 .arg(Esc(s.failedStep))
                                                 .arg(s.failedCode);
    t += QStringLiteral("<p class=\"failure\">last %1 <time datetime=\"%2\">%3</time> %4:<br/>"
                        "<span class=\"message\" dir=\"auto\">%5</span></p>\n")
             .arg(s.failedOutcome == QLatin1String("timed-out") ? QStringLiteral("time-out")
                                                                : QStringLiteral("failure"),
                  Esc(s.failedAt.toString(Qt::ISODateWithMs)),
                  Esc(s.failedAt.toString(QStringLiteral("HH:mm:ss"))), where,
                  Esc(s.failedMessage));
  } else {
    t += QStringLiteral("<p class=\"failure none\">no failure</p>\n");
  }
  return t + QStringLiteral("</section>\n");
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:0;background:#eef1f4;color:#222}"
    "main{padding:16px 20px}"
    "header{display:flex;align-items:baseline;gap:16px;margin-bottom:14px}"
    "h1{font-size:22px;margin:0}header p{margin:0;color:#555;font-size:13px}"
    "body.stale header p{color:#b00}"
    "#tiles{display:grid;grid-template-columns:repeat(auto-fill,minmax(250px,1fr));gap:12px}"
    ".tile{background:#fff;border-radius:6px;padding:10px 14px;border-top:8px solid #999;"
    "box-shadow:0 1px 2px rgba(0,0,0,.15)}"
    ".tile h2{font-size:17px;margin:2px 0 4px}.tile p{margin:4px 0;font-size:13px}"
    ".tile .yield{font-size:34px;font-weight:bold;margin:2px 0}"
    ".good{border-top-color:#2e9d3a}.good .yield{color:#2e9d3a}"
    ".fair{border-top-color:#d9a400}.fair .yield{color:#b58900}"
    ".poor{border-top-color:#d33c2c}.poor .yield{color:#d33c2c}"
    ".idle .yield{color:#888}"
    ".failure .message{font-weight:bold}.failure.none{color:#777}";

// Loads the page again every few seconds and puts its tiles in place; the header's times in the
// browser's clock. Text and nodes of the page's own making only.
const char kScript[] =
    "(function(){"
    "function local(root){root.querySelectorAll('time[data-local]').forEach(function(t){"
    "var d=new Date(t.getAttribute('datetime'));if(!isNaN(d))t.textContent=d.toLocaleTimeString();});}"
    "function refresh(){fetch('/',{cache:'no-store'}).then(function(r){"
    "if(!r.ok)throw new Error(r.status);return r.text();}).then(function(text){"
    "var fresh=new DOMParser().parseFromString(text,'text/html').getElementById('line');"
    "var old=document.getElementById('line');"
    "if(fresh&&old){old.replaceWith(document.importNode(fresh,true));local(document);"
    "document.body.classList.remove('stale');}"
    "}).catch(function(){document.body.classList.add('stale');});}"
    "local(document);setInterval(refresh,%1);"
    "})();";

}  // namespace

QString AgoText(double seconds) {
  if (!(seconds >= 1)) return QStringLiteral("just now");
  const auto s = static_cast<qint64>(std::floor(seconds));
  if (s < 60) return QStringLiteral("%1 s ago").arg(s);
  if (s < 3600) return QStringLiteral("%1 min ago").arg(s / 60);
  if (s < 86400) {
    return (s % 3600) / 60 == 0 ? QStringLiteral("%1 h ago").arg(s / 3600)
                                : QStringLiteral("%1 h %2 min ago").arg(s / 3600).arg((s % 3600) / 60);
  }
  return QStringLiteral("%1 d ago").arg(s / 86400);
}

QByteArray LinePageScript() {
  return QString::fromLatin1(kScript).arg(kRefreshSeconds * 1000).toUtf8();
}

QByteArray LinePageHtml(const LineBoard& b) {
  QString page = QStringLiteral(
                     "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"/>"
                     "<meta name=\"viewport\" content=\"width=device-width\"/>"
                     "<title>Kestrel line</title><style>%1</style>"
                     "<noscript><meta http-equiv=\"refresh\" content=\"%2\"/></noscript></head>\n"
                     "<body>\n<main id=\"line\">\n<header><h1>Kestrel line</h1><p>%3 station%4 "
                     "&#183; updated <time data-local=\"1\" datetime=\"%5\">%6 UTC</time></p>"
                     "</header>\n<div id=\"tiles\">\n")
                     .arg(QLatin1String(kStyle))
                     .arg(kRefreshSeconds)
                     .arg(b.stations.size())
                     .arg(b.stations.size() == 1 ? "" : "s")
                     .arg(Esc(Utc(b.at)), Esc(b.at.toUTC().toString(QStringLiteral("HH:mm:ss"))));
  for (const LineBoardStation& s : b.stations) page += Tile(s, b);
  page += QStringLiteral("</div>\n</main>\n<script>") + QString::fromUtf8(LinePageScript()) +
          QStringLiteral("</script>\n</body>\n</html>\n");
  return page.toUtf8();
}

QByteArray LinePageJson(const LineBoard& b) {
  QJsonArray stations;
  for (const LineBoardStation& s : b.stations) {
    QJsonObject o;
    o.insert(QStringLiteral("station"), s.station);
    o.insert(QStringLiteral("phones"), s.phones);
    o.insert(QStringLiteral("passed"), s.passed);
    o.insert(QStringLiteral("failed"), s.phones - s.passed);
    o.insert(QStringLiteral("yield"),
             s.phones > 0 ? QJsonValue(std::round(YieldOf(s) * 10.0) / 10.0) : QJsonValue());
    o.insert(QStringLiteral("last_pass"), s.lastPass.isValid() ? QJsonValue(Utc(s.lastPass)) : QJsonValue());
    o.insert(QStringLiteral("since_pass_s"),
             s.lastPass.isValid() ? QJsonValue(std::max<qint64>(0, static_cast<qint64>(s.sincePassS)))
                                  : QJsonValue());
    if (s.failedAt.isValid()) {
      QJsonObject f;
      f.insert(QStringLiteral("at"), s.failedAt.toString(Qt::ISODateWithMs));
      f.insert(QStringLiteral("outcome"), s.failedOutcome);
      f.insert(QStringLiteral("step"), s.failedStep.isEmpty() ? QJsonValue() : QJsonValue(s.failedStep));
      f.insert(QStringLiteral("code"), s.failedStep.isEmpty() ? QJsonValue() : QJsonValue(s.failedCode));
      f.insert(QStringLiteral("message"), s.failedMessage);
      f.insert(QStringLiteral("message_id"),
               s.failedMessageId != 0 ? QJsonValue(s.failedMessageId) : QJsonValue());
      o.insert(QStringLiteral("last_failure"), f);
    } else {
      o.insert(QStringLiteral("last_failure"), QJsonValue());
    }
    stations.append(o);
  }
  QJsonObject root;
  root.insert(QStringLiteral("at"), Utc(b.at));
  root.insert(QStringLiteral("window_s"), b.windowSeconds);
  root.insert(QStringLiteral("stations"), stations);
  return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

}  // namespace kestrel::line
