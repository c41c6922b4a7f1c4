// One open serial line: raw 8N1 at a given baud rate, non-blocking, every wait bounded and
// cancellable through an extra descriptor that becomes readable (an eventfd).
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrel::device::oxbind {

class SerialLink {
 public:
  // Opens the device (a path of the port map); null with *error set (KV_ERR_PORT_OPEN).
  static std::unique_ptr<SerialLink> Open(const QString& path, int32_t baudRate, int32_t* error);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Writes every byte within the time-out. KV_OK, KV_ERR_TIMEOUT, KV_ERR_CANCELLED (the
  // cancel descriptor became readable) or KV_ERR_LINK_LOST.
  int32_t WriteAll(const uint8_t* data, std::size_t size, int timeoutMs, int cancelFd);

  // Waits up to timeoutMs for bytes and reads what is there (at most capacity). KV_OK with
  // *got > 0, KV_ERR_TIMEOUT with *got == 0, KV_ERR_CANCELLED or KV_ERR_LINK_LOST.
  int32_t ReadSome(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
                   int cancelFd);

  // Drops bytes received but not yet read.
  void DiscardInput();

  const QString& path() const { return path_; }
  uint64_t bytesSent() const { return bytesSent_; }
  uint64_t bytesReceived() const { return bytesReceived_; }

 private:
  SerialLink(int fd, QString path) : fd_(fd), path_(std::move(path)) {}

  int fd_;
  QString path_;
  bool lost_ = false;
  uint64_t bytesSent_ = 0;
  uint64_t bytesReceived_ = 0;
};

// Milliseconds of a monotonic clock.
int64_t NowMs();

}  // namespace kestrel::device::oxbind
