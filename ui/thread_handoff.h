// Work handed to the thread of a window (or any QObject) from another thread, run there in the
// order it was handed over.
//
// The work waits in a queue under a lock that poster and receiver both take, and a queued call
// without arguments tells the receiver to take the next one. Qt's own event queue orders the
// two as well, but Qt is not built with the thread sanitizer, which cannot see that order: a
// lambda's captures written on one thread and read on the other would read as a race. The
// lock makes the order visible, so that the sanitizer checks what the work itself touches.
#pragma once

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <mutex>

namespace kestrel::ui {

class ThreadHandoff : public QObject {
  Q_OBJECT

 public:
  // A child of `owner`: it lives in the owner's thread and goes with it.
  explicit ThreadHandoff(QObject* owner);

  // Queues `work` to run on this object's thread (also when called on it).
  void Post(std::function<void()> work);

 private:
  // This object's thread: runs the oldest queued work.
  Q_INVOKABLE void RunNext();

  std::mutex lock_;
  std::deque<std::function<void()>> queue_;  // guarded by lock_
};

// A text in a buffer of its own, for a text that goes between a widget and another thread.
// Qt's texts share their buffers, and a widget lets go of its old text inside Qt, where the
// sanitizer does not see the shared count drop: a buffer only one side ever held needs no such
// sight. A null text stays null.
inline QString OwnCopy(const QString& text) {
  return text.isNull() ? QString() : QString(text.constData(), text.size());
}

}  // namespace kestrel::ui
