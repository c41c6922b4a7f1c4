#include "device/oxbind/serial_link.h"

#include "device/oxbind/oxbind.h"
#include "device/ports/serial_speed.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>

namespace kestrel::device::oxbind {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// The phone's line runs at 115200 baud unless another standard rate is asked for.
speed_t SpeedFor(int32_t baud) {
  return ports::TermiosSpeed(baud).value_or(B115200);
}

// Waits for the descriptor or the cancel descriptor. 1 ready, 0 time-out, else an error code.
int32_t WaitFor(int fd, short events, int timeoutMs, int cancelFd, short* revents) {
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

}  // namespace

std::unique_ptr<SerialLink> SerialLink::Open(const QString& path, int32_t baudRate,
                                             int32_t* error) {
  *error = KV_ERR_PORT_OPEN;
  if (path.isEmpty()) return nullptr;
  const int fd =
      ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, SpeedFor(baudRate));
  ::cfsetospeed(&tio, SpeedFor(baudRate));
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return nullptr;
  }
  ::tcflush(fd, TCIOFLUSH);
  *error = KV_OK;
  return std::unique_ptr<SerialLink>(new SerialLink(fd, path));
}

SerialLink::~SerialLink() {
  ::close(fd_);
}

void SerialLink::DiscardInput() {
  if (lost_) return;
  ::tcflush(fd_, TCIFLUSH);
  uint8_t sink[512];
  while (::read(fd_, sink, sizeof(sink)) > 0) {
  }
}

int32_t SerialLink::WriteAll(const uint8_t* data, std::size_t size, int timeoutMs, int cancelFd) {
  if (lost_) return KV_ERR_LINK_LOST;
  const int64_t deadline = NowMs() + timeoutMs;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      bytesSent_ += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      lost_ = true;
      return KV_ERR_LINK_LOST;
    }
    const int64_t left = deadline - NowMs();
    if (left <= 0) return KV_ERR_TIMEOUT;
    short revents = 0;
    const int32_t w = WaitFor(fd_, POLLOUT, static_cast<int>(left), cancelFd, &revents);
    if (w == 0) return KV_ERR_TIMEOUT;
    if (w != 1) return w;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      lost_ = true;
      return KV_ERR_LINK_LOST;
    }
  }
  return KV_OK;
}

int32_t SerialLink::ReadSome(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
                             int cancelFd) {
  *got = 0;
  if (lost_) return KV_ERR_LINK_LOST;
  const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    const int64_t left = deadline - NowMs();
    short revents = 0;
    const int32_t w =
        WaitFor(fd_, POLLIN, left > 0 ? static_cast<int>(left) : 0, cancelFd, &revents);
    if (w == 0) return KV_ERR_TIMEOUT;
    if (w != 1) return w;
    if (revents & (POLLERR | POLLNVAL)) {
      lost_ = true;
      return KV_ERR_LINK_LOST;
    }
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n > 0) {
      *got = static_cast<std::size_t>(n);
      bytesReceived_ += static_cast<uint64_t>(n);
      return KV_OK;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (revents & POLLHUP) {
        lost_ = true;
        return KV_ERR_LINK_LOST;
      }
      continue;
    }
    // End of file after a hang-up (a real line) or EIO (a pseudo-terminal whose other side
    // has gone): the line is lost.
    lost_ = true;
    return KV_ERR_LINK_LOST;
  }
}

}  // namespace kestrel::device::oxbind
