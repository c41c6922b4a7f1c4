// PortMonitor: a background thread that watches the port map and reports every COM port
// that comes or goes.
//
// The first pass over the map only learns what is there and reports nothing. After it, a
// port that appears is posted as (number, 1) and one that goes away as (number, 0). A post
// that fails is tried again, three attempts in all; a change that cannot be delivered is
// dropped silently. The thread sleeps on file-system notifications of the link folder and
// of /dev, with a rescan every kRescanMs as a safety net (a link whose target vanished
// changes nothing in either folder).
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrel::device::ports {

// WM_PORT_CHANGED: wParam = port number, lParam = 1 appeared / 0 went away.
constexpr int kPortChangedMessage = 0x0BDD;

// Where the monitor's messages go. Called on the monitor thread; returns false when the
// message could not be handed over.
using PortChangedPoster = std::function<bool(int messageId, int port, int arrived)>;

class PortMonitor {
 public:
  static constexpr int kRescanMs = 250;
  static constexpr int kStopWaitMs = 3000;
  static constexpr int kPostAttempts = 3;

  PortMonitor();
  ~PortMonitor();  // Stop()
  PortMonitor(const PortMonitor&) = delete;
  PortMonitor& operator=(const PortMonitor&) = delete;

  // Posts to a QObject: a queued invocation, on the target's own thread, of its invokable
  // method (slot or Q_INVOKABLE)
  //     void OnPortChanged(int messageId, int port, int arrived);
  // `toThread` nonzero means the object stands for a thread (any QObject living in it); the
  // posting is the same. A target that has no such method makes every post fail. The target
  // must outlive the running thread (call Stop before destroying it).
  void SetTarget(QObject* target, int messageId, int toThread);
  // Any other destination (tests, non-Qt callers).
  void SetPoster(PortChangedPoster poster, int messageId = kPortChangedMessage);

  // Does nothing when the thread exists; else sets running and starts the thread.
  void Start();
  // Clears running, wakes the thread and waits up to kStopWaitMs for it to end. A thread
  // that has not ended by then is left to finish on its own (it owns what it touches).
  void Stop();
  bool IsRunning() const;

  // One known port of the monitor's list, for diagnostics.
  struct KnownPort {
    int32_t number = 0;
    QString portName;
    QString friendlyName;
    QString description;
    bool seen = false;
  };

 private:
  struct Shared;
  static void Run(std::shared_ptr<Shared> shared);

  mutable std::mutex lock_;  // guards everything below
  PortChangedPoster poster_;
  int messageId_ = kPortChangedMessage;
  std::shared_ptr<Shared> shared_;  // of the running thread
  std::thread thread_;
};

}  // namespace kestrel::device::ports
