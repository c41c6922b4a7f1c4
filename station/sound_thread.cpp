#include "station/sound_thread.h"

#include "device/sync/manual_reset_event.h"
#include "ui/thread_handoff.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>

#include <memory>
#include <mutex>
#include <thread>

namespace kestrel::station {
namespace {

// A std::thread rather than a QThread: its join is one the thread sanitizer sees, so what the
// thread did before it ended is ordered before what follows (the static objects Qt Multimedia
// destroys at exit among them).
class Runner {
 public:
  Runner() : thread_([this] { Run(); }) { ready_.Wait(-1); }

  ~Runner() {
    {
      std::lock_guard<std::mutex> l(lock_);
      stopping_ = true;
      QEventLoop* loop = loop_;
      handoff_->Post([loop] { loop->quit(); });
    }
    thread_.join();
  }

  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  bool Post(std::function<void(QObject&)> work) {
    std::lock_guard<std::mutex> l(lock_);
    if (stopping_) return false;
    QObject* context = context_;
    handoff_->Post([context, work = std::move(work)] { work(*context); });
    return true;
  }

 private:
  void Run() {
    QEventLoop loop;  // gives the thread its event dispatcher
    auto context = std::make_unique<QObject>();
    context->setObjectName(QStringLiteral("verdict sound"));
    auto* handoff = new ui::ThreadHandoff(context.get());
    {
      std::lock_guard<std::mutex> l(lock_);
      loop_ = &loop;
      context_ = context.get();
      handoff_ = handoff;
    }
    ready_.Set();
    loop.exec();
    {
      // The stop's post has returned (it holds the lock while it posts): from here on nobody
      // touches the hand-off, and what the work made here goes, before the thread ends.
      std::lock_guard<std::mutex> l(lock_);
      handoff_ = nullptr;
      context_ = nullptr;
      loop_ = nullptr;
    }
    context.reset();
  }

  std::mutex lock_;
  bool stopping_ = false;                  // guarded by lock_
  QEventLoop* loop_ = nullptr;             // guarded by lock_; the thread's
  QObject* context_ = nullptr;             // guarded by lock_; the thread's
  ui::ThreadHandoff* handoff_ = nullptr;   // guarded by lock_; the thread's
  device::ManualResetEvent ready_;
  std::thread thread_;  // last: started once the state above exists
};

std::mutex g_lock;
Runner* g_runner = nullptr;  // guarded by g_lock
bool g_routineAdded = false;  // guarded by g_lock

}  // namespace

bool SoundThread::Post(std::function<void(QObject& context)> work) {
  std::lock_guard<std::mutex> l(g_lock);
  if (g_runner == nullptr) {
    if (QCoreApplication::instance() == nullptr) return false;  // nothing would end it
    g_runner = new Runner;
    if (!g_routineAdded) {
      qAddPostRoutine(&SoundThread::Stop);
      g_routineAdded = true;
    }
  }
  return g_runner->Post(std::move(work));
}

void SoundThread::Stop() {
  Runner* runner = nullptr;
  {
    std::lock_guard<std::mutex> l(g_lock);
    runner = g_runner;
    g_runner = nullptr;
    // The post routine is spent once it ran: the next application object needs its own.
    g_routineAdded = false;
  }
  delete runner;
}

}  // namespace kestrel::station
