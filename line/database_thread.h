// One thread of a database's own: a QtSql connection belongs to the thread that made it, while
// the station calls from the window thread and the job thread. Call runs a function on this
// thread and waits for its result; several callers are served in turn.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace kestrel::line {

class DatabaseThread {
 public:
  DatabaseThread() : thread_([this] { Loop(); }) {}

  // Runs what is queued, then ends the thread.
  ~DatabaseThread() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  DatabaseThread(const DatabaseThread&) = delete;
  DatabaseThread& operator=(const DatabaseThread&) = delete;

  // Runs `f` on the database thread and returns its result.
  template <class F>
  std::invoke_result_t<F> Call(F f) {
    using R = std::invoke_result_t<F>;
    if (std::this_thread::get_id() == thread_.get_id()) return f();
    // Shared so that the task outlives whichever side lets go of it last.
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    std::future<R> result = task->get_future();
    {
      std::lock_guard lock(mutex_);
      tasks_.emplace_back([task] { (*task)(); });
    }
    wake_.notify_one();
    return result.get();
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once everything above is made
};

}  // namespace kestrel::line
