#include "device/ports/port_monitor.h"

#include "device/ports/port_map.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <vector>

namespace kestrel::device::ports {

// What the monitor thread touches. The thread holds its own reference, so a thread that
// outlives Stop (and even the monitor) never touches freed memory.
struct PortMonitor::Shared {
  std::atomic<bool> running{true};
  int stopFd = -1;

  std::mutex lock;  // guards poster, messageId, finished
  PortChangedPoster poster;
  int messageId = kPortChangedMessage;
  bool finished = false;
  std::condition_variable finishedChanged;

  ~Shared() {
    if (stopFd >= 0) ::close(stopFd);
  }

  void Post(int port, int arrived) {
    PortChangedPoster p;
    int id;
    {
      std::lock_guard l(lock);
      p = poster;
      id = messageId;
    }
    if (!p) return;
    for (int attempt = 0; attempt < kPostAttempts; ++attempt) {
      if (p(id, port, arrived)) return;
    }
  }
};

namespace {

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;

// Keeps an inotify watch on the link folder, following changes of the station folder and
// the folder's creation.
class FolderWatch {
 public:
  FolderWatch() {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) ::inotify_add_watch(fd_, "/dev", kWatchMask);
  }
  ~FolderWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

  void Refresh() {
    if (fd_ < 0) return;
    const QString folder = LinkFolder();
    if (folder == folder_ && wd_ >= 0) return;
    if (wd_ >= 0) ::inotify_rm_watch(fd_, wd_);
    wd_ = ::inotify_add_watch(fd_, QFile::encodeName(folder).constData(), kWatchMask);
    folder_ = folder;
  }

  // Reads every pending event; forgets the folder watch when the folder itself went.
  void Drain() {
    if (fd_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
      if (n <= 0) return;
      for (ssize_t i = 0; i < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + i);
        if (e->wd == wd_ && (e->mask & (IN_DELETE_SELF | IN_IGNORED))) wd_ = -1;
        i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

 private:
  int fd_ = -1;
  int wd_ = -1;
  QString folder_;
};

}  // namespace

PortMonitor::PortMonitor() = default;

PortMonitor::~PortMonitor() {
  Stop();
}

void PortMonitor::SetTarget(QObject* target, int messageId, int /*toThread*/) {
  // A queued invocation is delivered on the thread the object lives in, which is what both
  // a window target and a thread target ask for.
  SetPoster(
      [target](int id, int port, int arrived) {
        if (!target) return false;
        return QMetaObject::invokeMethod(target, "OnPortChanged", Qt::QueuedConnection,
                                         Q_ARG(int, id), Q_ARG(int, port), Q_ARG(int, arrived));
      },
      messageId);
}

void PortMonitor::SetPoster(PortChangedPoster poster, int messageId) {
  std::lock_guard l(lock_);
  poster_ = poster;
  messageId_ = messageId;
  if (shared_) {
    std::lock_guard sl(shared_->lock);
    shared_->poster = std::move(poster);
    shared_->messageId = messageId;
  }
}

void PortMonitor::Start() {
  std::lock_guard l(lock_);
  if (thread_.joinable()) return;
  auto shared = std::make_shared<Shared>();
  shared->stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  shared->poster = poster_;
  shared->messageId = messageId_;
  shared_ = shared;
  thread_ = std::thread(&PortMonitor::Run, shared);
}

void PortMonitor::Stop() {
  std::lock_guard l(lock_);
  if (!thread_.joinable()) return;
  shared_->running = false;
  if (shared_->stopFd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(shared_->stopFd, &one, sizeof(one));
  }
  bool ended;
  {
    std::unique_lock sl(shared_->lock);
    ended = shared_->finishedChanged.wait_for(sl, std::chrono::milliseconds(kStopWaitMs),
                                              [&] { return shared_->finished; });
  }
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();
  }
  shared_.reset();
}

bool PortMonitor::IsRunning() const {
  std::lock_guard l(lock_);
  return thread_.joinable() && shared_ && shared_->running;
}

void PortMonitor::Run(std::shared_ptr<Shared> shared) {
  FolderWatch watch;
  std::vector<KnownPort> known;
  bool firstPass = true;

  while (shared->running) {
    watch.Refresh();
    for (const PortInfo& p : EnumeratePorts()) {
      bool listed = false;
      for (KnownPort& k : known) {
        if (k.number == p.number) {
          k.seen = true;
          listed = true;
          break;
        }
      }
      if (listed) continue;
      KnownPort k;
      k.number = p.number;
      k.portName = p.name;
      k.friendlyName = p.name;
      k.description = p.description;
      k.seen = true;
      known.push_back(k);
      if (!firstPass) shared->Post(p.number, 1);
    }
    firstPass = false;
    for (auto it = known.begin(); it != known.end();) {
      if (it->seen) {
        it->seen = false;
        ++it;
      } else {
        const int gone = it->number;
        it = known.erase(it);
        shared->Post(gone, 0);
      }
    }
    if (!shared->running) break;

    pollfd fds[2] = {{shared->stopFd, POLLIN, 0}, {watch.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, watch.fd() >= 0 ? 2 : 1, kRescanMs);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      // A burst of changes (a link and its target) settles before the rescan.
      ::usleep(10 * 1000);
      watch.Drain();
    }
  }

  std::lock_guard l(shared->lock);
  shared->finished = true;
  shared->finishedChanged.notify_all();
}

}  // namespace kestrel::device::ports
