#include "device/oxbind/serial_link.h"

namespace kestrel::device::oxbind {

std::unique_ptr<SerialLink> SerialLink::Open(const std::string& device, int32_t baudRate,
                                             int32_t* error) {
  std::unique_ptr<platform::SerialPort> port = platform::SerialPort::Open(device, baudRate, error);
  if (!port) return nullptr;
  return std::unique_ptr<SerialLink>(new SerialLink(std::move(port), device));
}

int32_t SerialLink::WriteAll(const uint8_t* data, std::size_t size, int timeoutMs,
                             const platform::CancelToken* cancel) {
  std::size_t written = 0;
  const int32_t r = port_->Write(data, size, timeoutMs, cancel, &written);
  bytesSent_ += written;
  return r;
}

int32_t SerialLink::ReadSome(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
                             const platform::CancelToken* cancel) {
  const int32_t r = port_->Read(buffer, capacity, got, timeoutMs, cancel);
  bytesReceived_ += *got;
  return r;
}

}  // namespace kestrel::device::oxbind
