// One open serial line of the library: the platform's port, with the byte counts of the
// handle's link counters. Every wait is bounded and ends early through a cancel token.
#pragma once

#include "device/oxbind/platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrel::device::oxbind {

class SerialLink {
 public:
  // Opens the device (a PortEntry::device); null with *error set (KV_ERR_PORT_OPEN).
  static std::unique_ptr<SerialLink> Open(const std::string& device, int32_t baudRate,
                                          int32_t* error);
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Writes every byte within the time-out. KV_OK, KV_ERR_TIMEOUT, KV_ERR_CANCELLED (the
  // token was signalled) or KV_ERR_LINK_LOST.
  int32_t WriteAll(const uint8_t* data, std::size_t size, int timeoutMs,
                   const platform::CancelToken* cancel);

  // Waits up to timeoutMs for bytes and reads what is there (at most capacity). KV_OK with
  // *got > 0, KV_ERR_TIMEOUT with *got == 0, KV_ERR_CANCELLED or KV_ERR_LINK_LOST.
  int32_t ReadSome(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
                   const platform::CancelToken* cancel);

  // Drops bytes received but not yet read.
  void DiscardInput() { port_->DiscardInput(); }

  const std::string& device() const { return device_; }
  uint64_t bytesSent() const { return bytesSent_; }
  uint64_t bytesReceived() const { return bytesReceived_; }

 private:
  SerialLink(std::unique_ptr<platform::SerialPort> port, std::string device)
      : port_(std::move(port)), device_(std::move(device)) {}

  std::unique_ptr<platform::SerialPort> port_;
  std::string device_;
  uint64_t bytesSent_ = 0;
  uint64_t bytesReceived_ = 0;
};

}  // namespace kestrel::device::oxbind
