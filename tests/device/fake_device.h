// A hostile or broken phone for the library's robustness tests: a pseudo-terminal linked
// into the port map whose answers a test writes byte by byte.
#pragma once

#include "device/oxbind/wire_protocol.h"

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::testing {

class FakeDevice {
 public:
  // Returns the raw bytes to send back for a request (empty: stay silent).
  using Responder = std::function<std::vector<uint8_t>(const device::oxbind::wire::Frame&)>;

  FakeDevice(const QString& linkPath, Responder responder) : responder_(std::move(responder)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master_);
    ::unlockpt(master_);
    const char* name = ::ptsname(master_);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    QFile::link(QString::fromLocal8Bit(name), linkPath);
    link_ = linkPath;
    ::pipe2(stop_, O_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeDevice() { Stop(); }

  void Stop() {
    if (thread_.joinable()) {
      [[maybe_unused]] const ssize_t n = ::write(stop_[1], "x", 1);
      thread_.join();
      ::close(stop_[0]);
      ::close(stop_[1]);
    }
    ClosePty();
    QFile::remove(link_);
  }

  // The requests seen so far.
  std::vector<device::oxbind::wire::Frame> Requests() {
    std::lock_guard l(lock_);
    return requests_;
  }

  // A valid response frame for a request.
  static std::vector<uint8_t> Reply(const device::oxbind::wire::Frame& request, int32_t result,
                                    const std::vector<uint8_t>& data = {}) {
    device::oxbind::wire::Frame f;
    f.type = device::oxbind::wire::kResponse;
    f.sequence = request.sequence;
    f.command = request.command;
    f.payload = device::oxbind::wire::ResponsePayload(result, data);
    return device::oxbind::wire::Encode(f);
  }

  // Closes the line as a pulled cable does, after the responder's bytes were written.
  void PullCableAfterReply() { pullAfterReply_ = true; }

 private:
  void ClosePty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
  }

  void Run() {
    device::oxbind::wire::Decoder decoder;
    for (;;) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) return;
      if (fds[1].revents) return;
      uint8_t buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof(buffer));
      if (n <= 0) {
        ::usleep(1000);
        continue;
      }
      std::vector<device::oxbind::wire::Frame> frames;
      decoder.Feed(buffer, static_cast<std::size_t>(n), &frames);
      for (const auto& f : frames) {
        {
          std::lock_guard l(lock_);
          requests_.push_back(f);
        }
        const std::vector<uint8_t> out = responder_(f);
        std::size_t done = 0;
        while (done < out.size()) {
          const ssize_t w = ::write(master_, out.data() + done, out.size() - done);
          if (w > 0) {
            done += static_cast<std::size_t>(w);
          } else {
            pollfd p[2] = {{master_, POLLOUT, 0}, {stop_[0], POLLIN, 0}};
            ::poll(p, 2, 50);
            if (p[1].revents) return;
          }
        }
        if (pullAfterReply_ && !out.empty()) {
          ::tcdrain(master_);
          ClosePty();
          QFile::remove(link_);
          return;
        }
      }
    }
  }

  Responder responder_;
  int master_ = -1;
  int slave_ = -1;
  int stop_[2] = {-1, -1};
  QString link_;
  std::thread thread_;
  std::mutex lock_;
  std::vector<device::oxbind::wire::Frame> requests_;
  std::atomic<bool> pullAfterReply_{false};
};

}  // namespace kestrel::testing
