// The process's one sound thread: every Qt Multimedia object of the station's sounds is made,
// used and destroyed on it. A QSoundEffect belongs to the thread that made it and Qt Multimedia
// keeps one sample cache and one audio backend for the whole process, so sounds made on several
// threads, or on a thread that ends while the process goes on, would share those across threads.
//
// The thread starts at the first Post and runs an event loop until the application object is
// destroyed (a post routine of QCoreApplication), when it frees what it made and is joined.
// Nothing the window thread does waits for it.
#pragma once

#include <functional>

class QObject;

namespace kestrel::station {

class SoundThread {
 public:
  // Runs `work` on the sound thread, in the order posted, with the thread's context object
  // (the parent for what the work makes there; it goes, with its children, when the thread
  // ends). False when the thread has ended (the application is going).
  static bool Post(std::function<void(QObject& context)> work);

  // Ends the thread: what is queued runs, then its objects go and it is joined. Called at the
  // application object's destruction; a later Post starts a new thread.
  static void Stop();
};

}  // namespace kestrel::station
