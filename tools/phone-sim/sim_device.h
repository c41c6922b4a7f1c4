// The simulated phone: its state (kept in a JSON file), its answers to the requests of the
// phone library, and the faults it can be told to show. No I/O beyond the state and log
// files; the pseudo-terminal side lives in main.cpp.
#pragma once

#include "device/oxbind/wire_protocol.h"
#include "tools/phone-sim/station_record_presets.h"

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kestrel::tools::phonesim {

struct Faults {
  bool noAnswer = false;
  std::map<uint16_t, int32_t> fail;  // command -> result it answers
  // (command, argument) -> result it answers when the request carries that argument (see
  // FaultArgument).
  std::map<std::pair<uint16_t, QString>, int32_t> failWhen;
  bool protectedImei = false;
  int delayMs = 0;
  double corruptRate = 0.0;
  long long dropAfterBytes = -1;
  bool lowercaseAddresses = false;
  bool staleNv = false;  // identity writes answer success but nothing is stored
  bool snNoNul = false;
  int appearAfterMs = -1;
  bool appearOnMode = false;
  bool recordUnreadable = false;
};

class SimDevice {
 public:
  SimDevice(QString stateFile, QString logFile, Faults faults, QMap<QString, QString> atReplies);

  // Reads the state file (missing: the defaults); false with a message on a broken file.
  bool Load(QString* error);
  bool Save() const;
  void ReplaceStationRecord(const QByteArray& block);

  // The response payload for a request, or nothing when the phone stays silent (the sync
  // frame, --no-answer). A repeated request (same sequence number and bytes as the last
  // one) gets the last response again without being carried out twice.
  std::optional<std::vector<uint8_t>> Handle(const device::oxbind::wire::Frame& request);

  void LogLine(const QString& line);
  const Faults& faults() const { return faults_; }
  int bootMode() const;

 private:
  int32_t Execute(const device::oxbind::wire::Frame& request, std::vector<uint8_t>* data,
                  QString* logArgs);
  QString Text(const char* key) const;
  void SetText(const char* key, const QByteArray& bytes);

  QString stateFile_;
  QString logFile_;
  Faults faults_;
  QMap<QString, QString> atReplies_;
  QJsonObject state_;
  mutable QFile log_;

  bool haveLast_ = false;
  uint8_t lastSequence_ = 0;
  uint16_t lastCommand_ = 0;
  std::vector<uint8_t> lastPayload_;
  std::vector<uint8_t> lastResponse_;
};

// The argument by which --fail-when picks a request: the item index of a secure-boot read or
// write ("3"), the command of an AT command, the serial number of a SN read or write ("1",
// "2"); nothing for other commands.
std::optional<QString> FaultArgument(const device::oxbind::wire::Frame& request);
// Whether --fail-when takes the command (it has an argument to pick by).
bool HasFaultArgument(uint16_t command);

// The reply of the phone to AT+KVDIAG="0000000008000000": a quoted hex text that the
// station decodes to the AP version.
QByteArray DiagReply(const QByteArray& apVersion);

}  // namespace kestrel::tools::phonesim
