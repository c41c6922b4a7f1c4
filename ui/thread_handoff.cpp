#include "ui/thread_handoff.h"

#include <QMetaObject>

namespace kestrel::ui {

ThreadHandoff::ThreadHandoff(QObject* owner) : QObject(owner) {}

void ThreadHandoff::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    queue_.push_back(std::move(work));
  }
  // One call per piece of work; the call carries nothing the receiver reads.
  QMetaObject::invokeMethod(this, "RunNext", Qt::QueuedConnection);
}

void ThreadHandoff::RunNext() {
  std::function<void()> work;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (queue_.empty()) return;
    work = std::move(queue_.front());
    queue_.pop_front();
  }
  work();
}

}  // namespace kestrel::ui
