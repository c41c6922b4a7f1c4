// A serial line on POSIX: raw 8N1 through termios, non-blocking, every wait a poll() on the
// line and the cancel token's eventfd.
#include "device/oxbind/oxbind.h"
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/posix_native.h"
#include "device/ports/serial_speed.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::device::oxbind::platform {
namespace {

// Waits for the line or the cancel token. 1 ready, 0 time-out, else an error code.
int32_t WaitFor(int fd, short events, int timeoutMs, const CancelToken* cancel, short* revents) {
  const int cancelFd = cancel != nullptr ? cancel->native()->fd : -1;
  const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    const int64_t left = deadline - NowMs();
    const int r = ::poll(fds, cancelFd >= 0 ? 2 : 1, left > 0 ? static_cast<int>(left) : 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return KV_ERR_LINK_LOST;
    }
    if (cancelFd >= 0 && (fds[1].revents & POLLIN)) return KV_ERR_CANCELLED;
    if (r == 0) return 0;
    *revents = fds[0].revents;
    return 1;
  }
}

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  ~PosixSerialPort() override { ::close(fd_); }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  int32_t Write(const uint8_t* data, std::size_t size, int timeoutMs, const CancelToken* cancel,
                std::size_t* written) override {
    *written = 0;
    if (lost_) return KV_ERR_LINK_LOST;
    const int64_t deadline = NowMs() + timeoutMs;
    while (*written < size) {
      const ssize_t n = ::write(fd_, data + *written, size - *written);
      if (n > 0) {
        *written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Lost();
      const int64_t left = deadline - NowMs();
      if (left <= 0) return KV_ERR_TIMEOUT;
      short revents = 0;
      const int32_t w = WaitFor(fd_, POLLOUT, static_cast<int>(left), cancel, &revents);
      if (w == 0) return KV_ERR_TIMEOUT;
      if (w != 1) return w;
      if (revents & (POLLERR | POLLHUP | POLLNVAL)) return Lost();
    }
    return KV_OK;
  }

  int32_t Read(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
               const CancelToken* cancel) override {
    *got = 0;
    if (lost_) return KV_ERR_LINK_LOST;
    const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
      const int64_t left = deadline - NowMs();
      short revents = 0;
      const int32_t w =
          WaitFor(fd_, POLLIN, left > 0 ? static_cast<int>(left) : 0, cancel, &revents);
      if (w == 0) return KV_ERR_TIMEOUT;
      if (w != 1) return w;
      if (revents & (POLLERR | POLLNVAL)) return Lost();
      const ssize_t n = ::read(fd_, buffer, capacity);
      if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return KV_OK;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (revents & POLLHUP) return Lost();
        continue;
      }
      // End of file after a hang-up (a real line) or EIO (a pseudo-terminal whose other side
      // has gone): the line is lost.
      return Lost();
    }
  }

  void DiscardInput() override {
    if (lost_) return;
    ::tcflush(fd_, TCIFLUSH);
    uint8_t sink[512];
    while (::read(fd_, sink, sizeof(sink)) > 0) {
    }
  }

 private:
  int32_t Lost() {
    lost_ = true;
    return KV_ERR_LINK_LOST;
  }

  int fd_;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& device, int32_t baudRate,
                                             int32_t* error) {
  *error = KV_ERR_PORT_OPEN;
  if (device.empty()) return nullptr;
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  // The phone's line runs at 115200 baud unless another standard rate is asked for.
  const speed_t speed = ports::TermiosSpeed(baudRate).value_or(B115200);
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  ::tcflush(fd, TCIOFLUSH);
  *error = KV_OK;
  return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace kestrel::device::oxbind::platform
