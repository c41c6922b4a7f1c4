// A serial line on Win32: \\.\COM<n> opened for overlapped I/O, raw 8N1 through the DCB, every
// wait a WaitForMultipleObjects on the I/O's event and the cancel token's event.
//
// Reads use the interval time-out: a read waits up to its time-out for the first byte and
// completes 1 ms after the line goes quiet (or at once with the bytes already queued). The
// "return at once with what is there" setting (MAXDWORD interval and multiplier) is avoided:
// Wine completes an overlapped read with it only when the line goes away. A read's time-out
// completes it with no bytes (Windows) or ERROR_TIMEOUT (Wine); a lost line fails it with
// another error (Wine: ERROR_BROKEN_PIPE when the far side of a pseudo-terminal has gone).
#include "device/oxbind/oxbind.h"
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/win32_native.h"

namespace kestrel::device::oxbind::platform {
namespace {

// The phone's line runs at 115200 baud unless another standard rate is asked for.
DWORD BaudFor(int32_t baud) {
  switch (baud) {
    case 1200:
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
    case 230400:
    case 460800:
    case 921600:
      return static_cast<DWORD>(baud);
    default:
      return CBR_115200;
  }
}

// What an I/O that was started came to.
enum class Outcome { kDone, kTimedOut, kCancelled, kFailed };

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE port, HANDLE ioEvent) : port_(port), ioEvent_(ioEvent) {}
  ~Win32SerialPort() override {
    CloseHandle(port_);
    CloseHandle(ioEvent_);
  }
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  int32_t Write(const uint8_t* data, std::size_t size, int timeoutMs, const CancelToken* cancel,
                std::size_t* written) override {
    *written = 0;
    if (lost_) return KV_ERR_LINK_LOST;
    if (size == 0) return KV_OK;
    if (Cancelled(cancel)) return KV_ERR_CANCELLED;
    const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    while (*written < size) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) return KV_ERR_TIMEOUT;
      OVERLAPPED ov = Overlapped();
      DWORD done = 0;
      const BOOL ok =
          WriteFile(port_, data + *written, static_cast<DWORD>(size - *written), &done, &ov);
      const Outcome o = Finish(ok, &ov, static_cast<DWORD>(left), cancel, &done);
      *written += done;
      if (o == Outcome::kCancelled) return KV_ERR_CANCELLED;
      if (o == Outcome::kFailed) return Lost();
      if (o == Outcome::kTimedOut) return KV_ERR_TIMEOUT;
    }
    return KV_OK;
  }

  int32_t Read(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
               const CancelToken* cancel) override {
    *got = 0;
    if (lost_) return KV_ERR_LINK_LOST;
    if (capacity == 0) return KV_ERR_TIMEOUT;
    if (Cancelled(cancel)) return KV_ERR_CANCELLED;
    DWORD want = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_, &errors, &status)) return Lost();
    if (status.cbInQue > 0 && status.cbInQue < want) want = status.cbInQue;
    const DWORD total = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 1;
    if (total != readTimeoutMs_) {
      COMMTIMEOUTS t{};
      t.ReadIntervalTimeout = 1;
      t.ReadTotalTimeoutConstant = total;
      if (!SetCommTimeouts(port_, &t)) return Lost();
      readTimeoutMs_ = total;
    }
    OVERLAPPED ov = Overlapped();
    DWORD done = 0;
    const BOOL ok = ReadFile(port_, buffer, want, &done, &ov);
    // The port's own time-out ends the read; the wait's margin only guards against a driver
    // that never completes it.
    const Outcome o = Finish(ok, &ov, total + 2000, cancel, &done);
    *got = done;
    if (o == Outcome::kCancelled) return KV_ERR_CANCELLED;
    if (done > 0) return KV_OK;
    if (o == Outcome::kDone || o == Outcome::kTimedOut) return KV_ERR_TIMEOUT;
    return Lost();
  }

  void DiscardInput() override {
    if (lost_) return;
    PurgeComm(port_, PURGE_RXCLEAR);
  }

 private:
  static bool Cancelled(const CancelToken* cancel) {
    return cancel != nullptr && cancel->IsSignalled();
  }

  OVERLAPPED Overlapped() const {
    OVERLAPPED ov{};
    ResetEvent(ioEvent_);
    ov.hEvent = ioEvent_;
    return ov;
  }

  // Waits for an I/O that ReadFile / WriteFile started (ok: it completed at once) or for the
  // token; an I/O still pending is cancelled and waited for, so that it never outlives the
  // buffer. *done: the bytes it moved.
  Outcome Finish(BOOL ok, OVERLAPPED* ov, DWORD waitMs, const CancelToken* cancel, DWORD* done) {
    if (!ok && GetLastError() != ERROR_IO_PENDING) return Outcome::kFailed;
    bool cancelled = false;
    bool timedOut = false;
    if (!ok) {
      HANDLE waits[2] = {ov->hEvent, cancel != nullptr ? cancel->native()->event : nullptr};
      const DWORD count = waits[1] != nullptr ? 2 : 1;
      const DWORD w = WaitForMultipleObjects(count, waits, FALSE, waitMs);
      cancelled = w == WAIT_OBJECT_0 + 1;
      timedOut = w == WAIT_TIMEOUT;
      if (w != WAIT_OBJECT_0) CancelIoEx(port_, ov);
    }
    if (GetOverlappedResult(port_, ov, done, TRUE)) {
      return cancelled ? Outcome::kCancelled : Outcome::kDone;
    }
    if (cancelled) return Outcome::kCancelled;
    if (timedOut || GetLastError() == ERROR_TIMEOUT) return Outcome::kTimedOut;
    return Outcome::kFailed;
  }

  int32_t Lost() {
    lost_ = true;
    return KV_ERR_LINK_LOST;
  }

  HANDLE port_;
  HANDLE ioEvent_;  // manual-reset, one I/O at a time
  DWORD readTimeoutMs_ = 0;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& device, int32_t baudRate,
                                             int32_t* error) {
  *error = KV_ERR_PORT_OPEN;
  if (device.empty()) return nullptr;
  const HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return nullptr;
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  bool ready = GetCommState(port, &dcb) != 0;
  if (ready) {
    dcb.BaudRate = BaudFor(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    ready = SetCommState(port, &dcb) != 0;
  }
  // Writes are bounded by the caller's wait, not by the port.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 1;
  t.ReadTotalTimeoutConstant = 1;
  ready = ready && SetCommTimeouts(port, &t) != 0;
  const HANDLE ioEvent = ready ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (ioEvent == nullptr) {
    CloseHandle(port);
    return nullptr;
  }
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  *error = KV_OK;
  return std::make_unique<Win32SerialPort>(port, ioEvent);
}

}  // namespace kestrel::device::oxbind::platform
