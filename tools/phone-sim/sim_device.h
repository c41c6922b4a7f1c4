// The simulated phone: the phone's end of the link (device/oxbind/phone_end) over a storage
// kept in a JSON state file, the faults it can be told to show and its log. No I/O beyond the
// state and log files; the pseudo-terminal side lives in main.cpp.
#pragma once

#include "device/oxbind/phone_end/phone_end.h"
#include "tools/phone-sim/station_record_presets.h"

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
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
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Reads the state file (missing: the defaults); false with a message on a broken file.
  bool Load(QString* error);
  bool Save() const;
  void ReplaceStationRecord(const QByteArray& block);

  // Bytes from the line, handed to the phone's end. Returns the bytes it answers with (the
  // response frames these bytes completed, in order; nothing for the sync frame, bad frames
  // or --no-answer). A changed state is on disk before this returns.
  std::vector<uint8_t> Receive(const uint8_t* data, std::size_t size);

  void LogLine(const QString& line);
  const Faults& faults() const { return faults_; }
  int bootMode() const;

 private:
  struct Callbacks;  // the phone end's callbacks, over this object

  QString Text(const char* key) const;
  void SetText(const char* key, const QByteArray& bytes);
  void FlushBadFrames();

  QString stateFile_;
  QString logFile_;
  Faults faults_;
  QMap<QString, QString> atReplies_;
  QJsonObject state_;
  mutable QFile log_;
  std::unique_ptr<kpe_end> end_;  // about 62 KB: the protocol's buffers
  std::vector<uint8_t> out_;      // the answer of the bytes being received
  bool changed_ = false;
  int badFrames_ = 0;  // dropped frames not yet logged
};

// The argument by which --fail-when picks a request: the item index of a secure-boot read or
// write ("3"), the command of an AT command, the serial number of a SN read or write ("1",
// "2"); nothing for other commands.
std::optional<QString> FaultArgument(uint16_t command, const uint8_t* payload, std::size_t size);
// Whether --fail-when takes the command (it has an argument to pick by).
bool HasFaultArgument(uint16_t command);

// The log line of a request: the call's name and its arguments ("KV_ReadSN sn=1").
QString RequestLogLine(uint16_t command, const uint8_t* payload, std::size_t size);

}  // namespace kestrel::tools::phonesim
