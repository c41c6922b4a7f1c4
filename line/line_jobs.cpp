// The job summaries (line/line_jobs.h): handed on by a station (line_hand_on_job), its newest
// (line_newest_job), read for a report (line_jobs) and for the line page (line_board).
#include "line/line_database.h"
#include "line/line_session.h"

namespace kestrel::line {
namespace {

QVariant NullIfEmpty(const QString& text) {
  return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

QVariant NullIfZero(int value) {
  return value == 0 ? QVariant(QMetaType::fromType<int>()) : QVariant(value);
}

QVariant DateArgument(const QDate& date) {
  return date.isValid() ? QVariant(date.toString(Qt::ISODate)) : QVariant(QMetaType::fromType<QString>());
}

// A time the line answered as milliseconds since the epoch (NULL: invalid), in UTC.
QDateTime TimeOf(const QVariant& ms) {
  if (ms.isNull()) return {};
  return QDateTime::fromMSecsSinceEpoch(ms.toLongLong(), Qt::UTC);
}

// The same at a station's offset from UTC.
QDateTime TimeAt(const QVariant& ms, int offsetSeconds) {
  if (ms.isNull()) return {};
  return QDateTime::fromMSecsSinceEpoch(ms.toLongLong(), Qt::OffsetFromUTC, offsetSeconds);
}

const QString kStart = QStringLiteral("start");
const QString kMs = QStringLiteral("ms");
const QString kMode = QStringLiteral("mode");
const QString kKind = QStringLiteral("kind");
const QString kOutcome = QStringLiteral("outcome");
const QString kStep = QStringLiteral("step");
const QString kCode = QStringLiteral("code");
const QString kMessage = QStringLiteral("message");
const QString kMessageId = QStringLiteral("msgid");
const QString kImei = QStringLiteral("imei");

}  // namespace

std::vector<std::pair<QString, QString>> LineJobFields(const LineJob& j) {
  std::vector<std::pair<QString, QString>> f = {
      {kStart, j.started.toString(Qt::ISODateWithMs)},
      {kMs, QString::number(j.durationMs)},
      {kMode, j.mode},
      {kKind, j.kind},
      {kOutcome, j.outcome}};
  if (!j.step.isEmpty()) {
    f.emplace_back(kStep, j.step);
    f.emplace_back(kCode, QString::number(j.code));
  }
  if (!j.message.isEmpty()) f.emplace_back(kMessage, j.message);
  if (j.messageId != 0) f.emplace_back(kMessageId, QString::number(j.messageId));
  if (!j.imei1.isEmpty()) f.emplace_back(kImei, j.imei1);
  return f;
}

bool LineJobFromFields(const LineOutboxRecord& r, LineJob* job, QString* why) {
  LineJob j;
  bool msOk = false, codeOk = true, idOk = true;
  j.started = QDateTime::fromString(r.Field(kStart), Qt::ISODateWithMs);
  j.durationMs = r.Field(kMs).toLongLong(&msOk);
  j.mode = r.Field(kMode);
  j.kind = r.Field(kKind);
  j.outcome = r.Field(kOutcome);
  j.step = r.Field(kStep);
  if (r.Has(kCode)) j.code = r.Field(kCode).toInt(&codeOk);
  j.message = r.Field(kMessage);
  if (r.Has(kMessageId)) j.messageId = r.Field(kMessageId).toInt(&idOk);
  j.imei1 = r.Field(kImei);
  if (!j.started.isValid() || !msOk || !codeOk || !idOk || j.mode.isEmpty() || j.kind.isEmpty() ||
      j.outcome.isEmpty()) {
    if (why != nullptr) *why = QStringLiteral("a job summary whose fields are out of form");
    return false;
  }
  *job = std::move(j);
  return true;
}

LineResult LineDatabase::HandOnJob(const LineJob& job, bool* again) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    if (!job.started.isValid()) return LineRefused(QStringLiteral("a job summary without its start"));
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "SELECT line_hand_on_job(?, ?::timestamptz, ?::integer, ?::bigint, ?::text, ?::text, "
        "?::text, ?::text, ?::integer, ?::text, ?::integer, ?::text)");
    q.addBindValue(s.StationArgument());
    q.addBindValue(job.started.toString(Qt::ISODateWithMs));
    q.addBindValue(job.started.offsetFromUtc());
    q.addBindValue(job.durationMs);
    q.addBindValue(job.mode);
    q.addBindValue(job.kind);
    q.addBindValue(job.outcome);
    q.addBindValue(NullIfEmpty(job.step));
    q.addBindValue(job.step.isEmpty() ? QVariant(QMetaType::fromType<int>()) : QVariant(job.code));
    q.addBindValue(NullIfEmpty(job.message.left(kLineJobMessageChars)));
    q.addBindValue(NullIfZero(job.messageId));
    q.addBindValue(NullIfEmpty(job.imei1));
    if (!q.exec() || !q.next()) return s.Answer(q.lastError());
    const QString answer = q.value(0).toString();
    q.finish();
    if (answer == QLatin1String("busy")) {
      return LineUnreachable(QStringLiteral("the line database held the job summary up (a lock)"));
    }
    if (again != nullptr) *again = answer == QLatin1String("again");
    return {};
  });
}

LineResult LineDatabase::NewestJob(QDateTime* started) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q =
        s.Prepared("SELECT (extract(epoch FROM line_newest_job(?)) * 1000)::bigint");
    q.addBindValue(s.StationArgument());
    if (!q.exec() || !q.next()) return s.Answer(q.lastError());
    *started = TimeOf(q.value(0));
    q.finish();
    return {};
  });
}

LineResult LineDatabase::Jobs(const QString& station, const QDate& from, const QDate& to,
                              std::vector<LineJob>* jobs) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "SELECT station, started_ms, utc_offset, duration_ms, mode, kind, outcome, step, code, "
        "message, message_id, imei1 FROM line_jobs(?::text, ?::date, ?::date)");
    q.addBindValue(NullIfEmpty(station));
    q.addBindValue(DateArgument(from));
    q.addBindValue(DateArgument(to));
    if (!q.exec()) return s.Answer(q.lastError());
    std::vector<LineJob> found;
    while (q.next()) {
      LineJob j;
      j.station = q.value(0).toString();
      j.started = TimeAt(q.value(1), q.value(2).toInt());
      j.durationMs = q.value(3).toLongLong();
      j.mode = q.value(4).toString();
      j.kind = q.value(5).toString();
      j.outcome = q.value(6).toString();
      j.step = q.value(7).toString();
      j.code = q.value(8).toInt();
      j.message = q.value(9).toString();
      j.messageId = q.value(10).toInt();
      j.imei1 = q.value(11).toString();
      found.push_back(std::move(j));
    }
    q.finish();
    *jobs = std::move(found);
    return {};
  });
}

LineResult LineDatabase::Board(int windowSeconds, LineBoard* board) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "SELECT station, phones, passed, (extract(epoch FROM last_pass) * 1000)::bigint, "
        "since_pass_s, (extract(epoch FROM failed_at) * 1000)::bigint, failed_offset, "
        "failed_outcome, failed_step, failed_code, failed_message, failed_message_id, "
        "(extract(epoch FROM at) * 1000)::bigint FROM line_board(?::integer)");
    q.addBindValue(windowSeconds);
    if (!q.exec()) return s.Answer(q.lastError());
    LineBoard b;
    b.windowSeconds = windowSeconds;
    while (q.next()) {
      LineBoardStation st;
      st.station = q.value(0).toString();
      st.phones = q.value(1).toLongLong();
      st.passed = q.value(2).toLongLong();
      st.lastPass = TimeOf(q.value(3));
      st.sincePassS = q.value(4).toDouble();
      st.failedAt = TimeAt(q.value(5), q.value(6).toInt());
      st.failedOutcome = q.value(7).toString();
      st.failedStep = q.value(8).toString();
      st.failedCode = q.value(9).toInt();
      st.failedMessage = q.value(10).toString();
      st.failedMessageId = q.value(11).toInt();
      b.at = TimeOf(q.value(12));
      b.stations.push_back(std::move(st));
    }
    q.finish();
    if (!b.at.isValid()) b.at = QDateTime::currentDateTimeUtc();
    *board = std::move(b);
    return {};
  });
}

}  // namespace kestrel::line
