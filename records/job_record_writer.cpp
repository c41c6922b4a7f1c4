#include "records/job_record_writer.h"

#include "log/durable_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace kestrel::records {
namespace {

// The writer gives way to the window and the job threads: a record that waits a little costs
// nothing, a window or job thread that waits for the writer's CPU time would. Without this a
// record handed over wakes the writer, which then takes the CPU from the thread that handed it
// over (composing the line, opening the file) before it sleeps in the sync.
void YieldToOtherThreads() {
#ifdef __linux__
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
  setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
#endif
}

// True when the file is missing, empty or ends in a line end.
bool EndsWithLineEnd(const QString& path) {
  QFile file(path);
  if (!file.exists()) return true;
  if (!file.open(QIODevice::ReadOnly)) return true;  // the append will report it
  const qint64 size = file.size();
  if (size == 0) return true;
  char last = 0;
  return file.seek(size - 1) && file.read(&last, 1) == 1 && last == '\n';
}

}  // namespace

JobRecordWriter::JobRecordWriter(QString logFolder, FailureCallback onFailure,
                                 std::size_t maxQueued)
    : folder_(std::move(logFolder)),
      onFailure_(std::move(onFailure)),
      maxQueued_(maxQueued < 1 ? 1 : maxQueued),
      thread_([this] { Run(); }) {}

JobRecordWriter::~JobRecordWriter() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

QString JobRecordWriter::FileFor(const QDate& day) const {
  return QDir(folder_).filePath(JobRecordFileName(day));
}

void JobRecordWriter::Append(JobRecord record) {
  // The start time fixed to its offset here, on the caller's thread: the writer's thread then
  // never asks the C library for the local time zone while the window thread does.
  if (!record.startedAt.isValid()) record.startedAt = QDateTime::currentDateTime();
  if (record.startedAt.timeSpec() != Qt::OffsetFromUTC) {
    record.startedAt = record.startedAt.toOffsetFromUtc(record.startedAt.offsetFromUtc());
  }
  bool dropped = false;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= maxQueued_) {
      dropped = true;
      ++failed_;
    } else {
      queue_.push_back(std::move(record));
    }
  }
  if (!dropped) {
    wake_.notify_one();
    return;
  }
  bool report = false;
  {
    std::lock_guard lock(mutex_);
    report = !reported_;
    reported_ = true;
  }
  if (report && onFailure_) onFailure_(folder_);
}

void JobRecordWriter::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void JobRecordWriter::SetWrittenListener(WrittenListener listener) {
  std::lock_guard hold(listenerMutex_);
  listener_ = std::move(listener);
}

std::uint64_t JobRecordWriter::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::uint64_t JobRecordWriter::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

void JobRecordWriter::Run() {
  YieldToOtherThreads();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) {
      if (ending_) return;
      continue;
    }
    JobRecord record = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    QString path;
    const bool ok = Write(record, &path);
    lock.lock();
    bool report = false;
    if (ok) {
      ++written_;
      reported_ = false;
    } else {
      ++failed_;
      report = !reported_;
      reported_ = true;
    }
    lock.unlock();
    if (report && onFailure_) onFailure_(path);
    {
      std::lock_guard hold(listenerMutex_);
      if (listener_) listener_(record, ok);
    }
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

bool JobRecordWriter::Write(const JobRecord& record, QString* path) {
  *path = FileFor(record.startedAt.date());
  if (!QFileInfo::exists(folder_) && !QDir().mkpath(folder_)) return false;
  QByteArray bytes = ComposeJobRecordLine(record);
  if (!EndsWithLineEnd(*path)) bytes.prepend('\n');
  return log::AppendDurably(*path, bytes);
}

}  // namespace kestrel::records
