#include "device/ampvane/scpi_link.h"

#include "device/ampvane/ampvane.h"
#include "device/ports/serial_speed.h"

#include <QFile>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrel::device::ampvane {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on fd until the deadline: 1 ready, 0 timed out, -1 error/hang-up.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, RemainingMs(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) return 0;
    if (p.revents & events) return 1;
    return -1;  // POLLERR, POLLHUP or POLLNVAL without the wanted event
  }
}

int ConnectTcp(const InstrumentLocation& loc, int timeoutMs, int32_t* error) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  const QByteArray host = loc.host.toUtf8();
  const QByteArray port = QByteArray::number(loc.port);
  addrinfo* list = nullptr;
  // Numeric addresses resolve at once; a host name goes through the system resolver.
  if (::getaddrinfo(host.constData(), port.constData(), &hints, &list) != 0 || list == nullptr) {
    *error = kErrConnect;
    return -1;
  }
  int fd = -1;
  *error = kErrConnect;
  for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    const int s =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) continue;
    int r = ::connect(s, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      const int w = WaitFor(s, POLLOUT, deadline);
      int soError = 0;
      socklen_t len = sizeof soError;
      if (w == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
        r = 0;
      } else if (w == 0) {
        *error = kErrTimeout;
      }
    }
    if (r == 0) {
      const int one = 1;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd = s;
    } else {
      ::close(s);
    }
    if (RemainingMs(deadline) == 0) break;
  }
  ::freeaddrinfo(list);
  return fd;
}

// An instrument line at a rate the terminal layer has no constant for runs at 9600 baud.
speed_t BaudConstant(int baud) {
  return ports::TermiosSpeed(baud).value_or(B9600);
}

int OpenSerial(const InstrumentLocation& loc, int32_t* error) {
  const QByteArray path = QFile::encodeName(loc.path);
  const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = kErrConnect;
    return -1;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {  // not a terminal: refuse rather than guess
    ::close(fd);
    *error = kErrConnect;
    return -1;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  ::cfsetispeed(&tio, BaudConstant(loc.baud));
  ::cfsetospeed(&tio, BaudConstant(loc.baud));
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    *error = kErrConnect;
    return -1;
  }
  ::tcflush(fd, TCIOFLUSH);
  return fd;
}

// A USBTMC device file blocks in read and write until the driver's own time-out, which is set
// here to ours; a file that does not take the setting is not used, since nothing would bound
// its reads.
int OpenUsbtmc(const InstrumentLocation& loc, int timeoutMs, int32_t* error) {
  const QByteArray path = QFile::encodeName(loc.path);
  const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = kErrConnect;
    return -1;
  }
  __u32 ms = static_cast<__u32>(timeoutMs < 100 ? 100 : timeoutMs);  // the driver's minimum
  if (::ioctl(fd, USBTMC_IOCTL_SET_TIMEOUT, &ms) != 0) {
    ::close(fd);
    *error = kErrConnect;
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<ScpiLink> ScpiLink::Open(const InstrumentLocation& location, int timeoutMs,
                                         int32_t* error) {
  int fd = -1;
  *error = kOk;
  switch (location.kind) {
    case InstrumentLocation::Kind::kTcp:
      fd = ConnectTcp(location, timeoutMs, error);
      break;
    case InstrumentLocation::Kind::kSerial:
      fd = OpenSerial(location, error);
      break;
    case InstrumentLocation::Kind::kUsbtmc:
      fd = OpenUsbtmc(location, timeoutMs, error);
      break;
  }
  if (fd < 0) {
    if (*error == kOk) *error = kErrConnect;
    return nullptr;
  }
  return std::unique_ptr<ScpiLink>(new ScpiLink(fd, location.kind, timeoutMs));
}

ScpiLink::ScpiLink(int fd, InstrumentLocation::Kind kind, int timeoutMs)
    : fd_(fd), kind_(kind), timeoutMs_(timeoutMs) {}

ScpiLink::~ScpiLink() {
  ::close(fd_);
}

int32_t ScpiLink::Send(const QByteArray& command) {
  return WriteAll(command + '\n');
}

int32_t ScpiLink::Query(const QByteArray& command, QByteArray* reply) {
  reply->clear();
  DiscardPending();
  if (const int32_t r = WriteAll(command + '\n'); r != kOk) return r;
  return ReadLine(reply);
}

int32_t ScpiLink::WriteAll(const QByteArray& bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  qsizetype done = 0;
  while (done < bytes.size()) {
    ssize_t n;
    const size_t left = static_cast<size_t>(bytes.size() - done);
    if (kind_ == InstrumentLocation::Kind::kTcp) {
      n = ::send(fd_, bytes.constData() + done, left, MSG_NOSIGNAL);
    } else {
      n = ::write(fd_, bytes.constData() + done, left);
    }
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ETIMEDOUT) return kErrTimeout;  // USBTMC driver time-out
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        kind_ != InstrumentLocation::Kind::kUsbtmc) {
      const int w = WaitFor(fd_, POLLOUT, deadline);
      if (w == 0) return kErrTimeout;
      if (w < 0) return kErrIo;
      continue;
    }
    return kErrIo;
  }
  return kOk;
}

int32_t ScpiLink::ReadLine(QByteArray* line) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  char buffer[4096];
  for (;;) {
    const qsizetype nl = pending_.indexOf('\n');
    if (nl >= 0) {
      *line = pending_.left(nl).trimmed();
      pending_.remove(0, nl + 1);
      return kOk;
    }
    if (pending_.size() > kMaxReplyBytes) {
      pending_.clear();
      return kErrIo;
    }
    if (kind_ != InstrumentLocation::Kind::kUsbtmc) {
      const int w = WaitFor(fd_, POLLIN, deadline);
      if (w == 0) return kErrTimeout;
      if (w < 0) return kErrIo;
    }
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, n);
      // A USBTMC read returns one whole message, whether or not it ends in a newline.
      if (kind_ == InstrumentLocation::Kind::kUsbtmc && !pending_.contains('\n')) {
        pending_.append('\n');
      }
      continue;
    }
    if (n == 0) return kErrIo;  // the other side closed
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
      if (RemainingMs(deadline) == 0) return kErrTimeout;
      continue;
    }
    if (errno == ETIMEDOUT) return kErrTimeout;
    return kErrIo;
  }
}

void ScpiLink::DiscardPending() {
  pending_.clear();
  if (kind_ == InstrumentLocation::Kind::kUsbtmc) return;  // its reads block; nothing is queued
  char buffer[4096];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
    if (::read(fd_, buffer, sizeof buffer) <= 0) return;
  }
}

}  // namespace kestrel::device::ampvane
