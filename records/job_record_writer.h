// JobRecordWriter: appends the audit records of the jobs to Log/jobs-YYYY-MM-DD.jsonl on a
// thread of its own, so neither the window nor a job ever waits for the disk.
//
// Each line goes to the disk as a result line of IMEI.txt does (one write, flushed and synced,
// the folder synced when the file is new): after a crash a record is whole or absent. A file
// that ends in a line cut short by a crash gets a line end first, so the cut line stays a line
// of its own and the new record is whole.
//
// A record that cannot be written is lost, never retried and never a failed phone: the first
// failure calls the failure callback (on the writer's thread) with the file's path, and later
// failures stay silent until a record has been written again.
//
// After each record's write (whether it was written or not) the written listener, when one is
// set, hears of it on the writer's thread: what hands the job on further (its summary to the
// line) goes only after the station's own record.
#pragma once

#include "records/job_record.h"

#include <QString>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel::records {

class JobRecordWriter {
 public:
  using FailureCallback = std::function<void(const QString& path)>;
  using WrittenListener = std::function<void(const JobRecord& record, bool written)>;

  // `logFolder` is made when missing. At most `maxQueued` records wait; beyond that a record
  // is dropped and counted as a failure (a disk that hangs must not take the station's memory).
  JobRecordWriter(QString logFolder, FailureCallback onFailure, std::size_t maxQueued = 4096);
  // Writes what is queued, then ends the thread.
  ~JobRecordWriter();
  JobRecordWriter(const JobRecordWriter&) = delete;
  JobRecordWriter& operator=(const JobRecordWriter&) = delete;

  // Any thread; returns at once.
  void Append(JobRecord record);
  // Returns when every record appended so far is written or has failed (and its listener has
  // returned).
  void WaitIdle();
  // Any thread; replacing it waits for a call in progress.
  void SetWrittenListener(WrittenListener listener);

  const QString& logFolder() const { return folder_; }
  // The file of the records of `day`.
  QString FileFor(const QDate& day) const;

  std::uint64_t written() const;
  std::uint64_t failed() const;

 private:
  void Run();
  bool Write(const JobRecord& record, QString* path);

  const QString folder_;
  const FailureCallback onFailure_;
  const std::size_t maxQueued_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<JobRecord> queue_;  // guarded by mutex_
  bool busy_ = false;            // a record is being written
  bool ending_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t failed_ = 0;
  bool reported_ = false;  // the current run of failures has been reported
  std::mutex listenerMutex_;
  WrittenListener listener_;  // guarded by listenerMutex_
  std::thread thread_;
};

}  // namespace kestrel::records
