#include "line/line_uri.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace kestrel::line {
namespace {

void SetError(QString* error, const QString& text) {
  if (error != nullptr) *error = text;
}

// A value handed to libpq inside QPSQL's option list: nothing that could end the value or
// start another one.
bool PlainOptionValue(const QString& value) {
  static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9_.:/@+-]{1,200}\\z"));
  return plain.match(value).hasMatch();
}

bool ParsePort(const QString& text, int* port) {
  bool ok = false;
  const int value = text.toInt(&ok);
  if (!ok || value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

// A port, or libpq's list of them ("5432,5433"; an empty one stands for the default).
bool ParsePorts(const QString& text, LineConnection* c) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() == 1) return ParsePort(text, &c->port);
  QStringList numbers;  // as libpq reads them: plain decimal numbers
  for (const QString& part : parts) {
    int port = 0;
    if (!part.isEmpty() && !ParsePort(part, &port)) return false;
    numbers << (part.isEmpty() ? QString() : QString::number(port));
  }
  c->port = -1;
  c->ports = numbers.join(QLatin1Char(','));
  return true;
}

// Whether a port list matches the hosts: one port for all, or one for each.
bool PortsFitHosts(const LineConnection& c) {
  if (c.ports.isEmpty()) return true;
  return c.ports.count(QLatin1Char(',')) == c.host.count(QLatin1Char(','));
}

// One name=value of the URI's query or of the keyword form.
bool TakeParameter(const QString& name, const QString& value, LineConnection* c,
                   QStringList* options, QString* error) {
  static const QStringList passed = {
      QStringLiteral("connect_timeout"),  QStringLiteral("sslmode"),
      QStringLiteral("sslrootcert"),      QStringLiteral("sslcert"),
      QStringLiteral("sslkey"),           QStringLiteral("sslcrl"),
      QStringLiteral("service"),          QStringLiteral("passfile"),
      QStringLiteral("application_name"), QStringLiteral("keepalives"),
      QStringLiteral("keepalives_idle"),  QStringLiteral("target_session_attrs")};
  if (name == QLatin1String("host")) {
    c->host = value;
  } else if (name == QLatin1String("port")) {
    c->ports.clear();
    if (!ParsePorts(value, c)) {
      SetError(error, QStringLiteral("bad port: %1").arg(value));
      return false;
    }
  } else if (name == QLatin1String("user")) {
    c->user = value;
  } else if (name == QLatin1String("password")) {
    c->password = value;
  } else if (name == QLatin1String("dbname")) {
    c->database = value;
  } else if (passed.contains(name)) {
    if (!PlainOptionValue(value)) {
      SetError(error, QStringLiteral("bad value of %1").arg(name));
      return false;
    }
    *options << name + QLatin1Char('=') + value;
  } else {
    SetError(error, QStringLiteral("unknown parameter %1").arg(name));
    return false;
  }
  return true;
}

// libpq's keyword form, "name=value" separated by blanks (no quoting).
bool ParseKeywords(const QString& text, LineConnection* c, QString* error) {
  QStringList options;
  for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const qsizetype eq = part.indexOf(QLatin1Char('='));
    if (eq <= 0) {
      SetError(error, QStringLiteral("not name=value: %1").arg(part.left(eq < 0 ? 40 : eq)));
      return false;
    }
    if (!TakeParameter(part.left(eq), part.mid(eq + 1), c, &options, error)) return false;
  }
  if (!PortsFitHosts(*c)) {
    SetError(error, QStringLiteral("the ports do not match the hosts"));
    return false;
  }
  c->options = options.join(QLatin1Char(';'));
  return true;
}

// One [host][:port] of the URI's host list, the host possibly an [IPv6] address.
bool TakeUriHost(const QString& text, QString* host, QString* port, QString* error) {
  QString hostPart = text;
  QString portPart;
  if (hostPart.startsWith(QLatin1Char('['))) {
    const qsizetype close = hostPart.indexOf(QLatin1Char(']'));
    if (close < 0) {
      SetError(error, QStringLiteral("unterminated [ in the host"));
      return false;
    }
    portPart = hostPart.mid(close + 1);
    hostPart = hostPart.mid(1, close - 1);
    if (!portPart.isEmpty() && !portPart.startsWith(QLatin1Char(':'))) {
      SetError(error, QStringLiteral("bad text after the host"));
      return false;
    }
    portPart = portPart.mid(1);
  } else if (const qsizetype colon = hostPart.lastIndexOf(QLatin1Char(':')); colon >= 0) {
    portPart = hostPart.mid(colon + 1);
    hostPart = hostPart.left(colon);
  }
  int number = 0;
  if (!portPart.isEmpty() && !ParsePort(portPart, &number)) {
    SetError(error, QStringLiteral("bad port: %1").arg(portPart));
    return false;
  }
  *host = QUrl::fromPercentEncoding(hostPart.toUtf8());
  *port = portPart.isEmpty() ? QString() : QString::number(number);
  return true;
}

}  // namespace

bool ParseLineUri(const QString& uri, LineConnection* c, QString* error) {
  *c = LineConnection{};
  const QString text = uri.trimmed();
  qsizetype schemeEnd = -1;
  for (const QString& scheme : {QStringLiteral("postgresql://"), QStringLiteral("postgres://")}) {
    if (text.startsWith(scheme, Qt::CaseInsensitive)) schemeEnd = scheme.size();
  }
  if (schemeEnd < 0) {
    if (text.contains(QLatin1Char('=')) && !text.contains(QLatin1Char('\n'))) {
      return ParseKeywords(text, c, error);
    }
    SetError(error, QStringLiteral("not a postgresql:// URI nor service=NAME"));
    return false;
  }
  QString rest = text.mid(schemeEnd);
  QString query;
  if (const qsizetype q = rest.indexOf(QLatin1Char('?')); q >= 0) {
    query = rest.mid(q + 1);
    rest = rest.left(q);
  }
  QString path;
  if (const qsizetype slash = rest.indexOf(QLatin1Char('/')); slash >= 0) {
    path = rest.mid(slash + 1);
    rest = rest.left(slash);
  }
  if (const qsizetype at = rest.lastIndexOf(QLatin1Char('@')); at >= 0) {
    const QString userInfo = rest.left(at);
    rest = rest.mid(at + 1);
    const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
    c->user = QUrl::fromPercentEncoding(userInfo.left(colon).toUtf8());
    if (colon >= 0) c->password = QUrl::fromPercentEncoding(userInfo.mid(colon + 1).toUtf8());
  }
  // host[:port], or a list of them separated by commas.
  QStringList hosts, ports;
  for (const QString& entry : rest.split(QLatin1Char(','))) {
    QString host, port;
    if (!TakeUriHost(entry, &host, &port, error)) return false;
    if (host.contains(QLatin1Char(','))) {
      SetError(error, QStringLiteral("bad host"));
      return false;
    }
    hosts << host;
    ports << port;
  }
  c->host = hosts.join(QLatin1Char(','));
  if (ports.size() == 1) {
    if (!ports.front().isEmpty()) ParsePort(ports.front(), &c->port);
  } else if (std::any_of(ports.begin(), ports.end(), [](const QString& p) { return !p.isEmpty(); })) {
    c->ports = ports.join(QLatin1Char(','));
  }
  c->database = QUrl::fromPercentEncoding(path.toUtf8());

  QStringList options;
  const QUrlQuery parameters(query);
  for (const auto& [name, value] : parameters.queryItems(QUrl::FullyDecoded)) {
    if (!TakeParameter(name, value, c, &options, error)) return false;
  }
  if (!PortsFitHosts(*c)) {
    SetError(error, QStringLiteral("the ports do not match the hosts"));
    return false;
  }
  c->options = options.join(QLatin1Char(';'));
  return true;
}

QString LineUriForDisplay(const QString& uri) {
  // Cut as ParseLineUri cuts: the query at the first '?', the path at the first '/', the user
  // part at the last '@' of what is left.
  QString shown = uri;
  const qsizetype schemeEnd = shown.indexOf(QStringLiteral("://"));
  if (schemeEnd < 0) {
    static const QRegularExpression password(QStringLiteral("(^|\\s)password=\\S*"));
    shown.replace(password, QStringLiteral("\\1password=***"));
    return shown;
  }
  const qsizetype start = schemeEnd + 3;
  qsizetype query = shown.indexOf(QLatin1Char('?'), start);
  if (query < 0) query = shown.size();
  qsizetype end = shown.indexOf(QLatin1Char('/'), start);
  if (end < 0 || end > query) end = query;
  const qsizetype at = shown.lastIndexOf(QLatin1Char('@'), end - 1);
  if (at >= start) {
    const qsizetype colon = shown.indexOf(QLatin1Char(':'), start);
    if (colon >= 0 && colon < at) {
      const qsizetype before = shown.size();
      shown.replace(colon + 1, at - colon - 1, QStringLiteral("***"));
      query += shown.size() - before;
    }
  }
  if (query < shown.size()) {
    QStringList parts = shown.mid(query + 1).split(QLatin1Char('&'));
    for (QString& part : parts) {
      if (QUrl::fromPercentEncoding(part.section(QLatin1Char('='), 0, 0).toUtf8()) ==
          QLatin1String("password")) {
        part = part.section(QLatin1Char('='), 0, 0) + QStringLiteral("=***");
      }
    }
    shown = shown.left(query + 1) + parts.join(QLatin1Char('&'));
  }
  return shown;
}

}  // namespace kestrel::line
