// A line-oriented SCPI link to one instrument: raw TCP socket, USBTMC device file or serial
// device. Every operation is bounded by the link's time-out; nothing here blocks without one.
#pragma once

#include "device/ampvane/instrument_map.h"

#include <QByteArray>

#include <memory>

namespace kestrel::device::ampvane {

class ScpiLink {
 public:
  // Opens the link (connects the socket, opens and configures the device file). On failure
  // returns null and sets *error to one of the kErr codes of ampvane.h.
  static std::unique_ptr<ScpiLink> Open(const InstrumentLocation& location, int timeoutMs,
                                        int32_t* error);
  ~ScpiLink();
  ScpiLink(const ScpiLink&) = delete;
  ScpiLink& operator=(const ScpiLink&) = delete;

  // Sends one command; the line terminator is added here.
  int32_t Send(const QByteArray& command);
  // Sends a query and waits for its one-line answer (terminator and blanks removed). Any
  // answer left over from an earlier, timed-out query is discarded first.
  int32_t Query(const QByteArray& command, QByteArray* reply);

  // Longest answer line accepted.
  static constexpr int kMaxReplyBytes = 64 * 1024;

 private:
  ScpiLink(int fd, InstrumentLocation::Kind kind, int timeoutMs);
  int32_t WriteAll(const QByteArray& bytes);
  int32_t ReadLine(QByteArray* line);
  void DiscardPending();

  int fd_;
  InstrumentLocation::Kind kind_;
  int timeoutMs_;
  QByteArray pending_;  // bytes received after the last complete line
};

}  // namespace kestrel::device::ampvane
