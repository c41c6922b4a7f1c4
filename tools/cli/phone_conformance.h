// kestrel-cli phone conformance: every request of the phone link (device/oxbind/PROTOCOL.md)
// against a phone, one row a check. The regular calls go through the phone library; the
// error paths need frames the library never sends and go through the wire codec straight to
// the port of the port map.
#pragma once

#include "device/oxbind/oxbind.h"
#include "device/oxbind/station_record_io.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::cli {

// The phone library's calls the check makes.
struct PhoneCalls {
  decltype(&::KV_CreatePhone) CreatePhone = ::KV_CreatePhone;
  decltype(&::KV_ReleasePhone) ReleasePhone = ::KV_ReleasePhone;
  decltype(&::KV_BeginPhoneTest) BeginPhoneTest = ::KV_BeginPhoneTest;
  decltype(&::KV_EndPhoneTest) EndPhoneTest = ::KV_EndPhoneTest;
  decltype(&::KV_EnterModeProcess) EnterModeProcess = ::KV_EnterModeProcess;
  decltype(&::KV_StopModeProcess) StopModeProcess = ::KV_StopModeProcess;
  decltype(&::KV_Write) Write = ::KV_Write;
  decltype(&::KV_GetMsVersion) GetMsVersion = ::KV_GetMsVersion;
  decltype(&::KV_FastReadVersion) FastReadVersion = ::KV_FastReadVersion;
  decltype(&::KV_GetAPVersion) GetAPVersion = ::KV_GetAPVersion;
  decltype(&::KV_SendATCommand) SendATCommand = ::KV_SendATCommand;
  decltype(&::KV_FastReadNvInfo) FastReadNvInfo = ::KV_FastReadNvInfo;
  decltype(&::KV_FastWriteNvInfo) FastWriteNvInfo = ::KV_FastWriteNvInfo;
  decltype(&::KV_NvWriteDirect) NvWriteDirect = ::KV_NvWriteDirect;
  decltype(&::KV_ReadSN) ReadSN = ::KV_ReadSN;
  decltype(&::KV_WriteSN) WriteSN = ::KV_WriteSN;
  decltype(&::KV_SetUsbAutoMode) SetUsbAutoMode = ::KV_SetUsbAutoMode;
  decltype(&::KV_ReadCURef) ReadCURef = ::KV_ReadCURef;
  decltype(&::KV_WriteCURef) WriteCURef = ::KV_WriteCURef;
  decltype(&::KV_ReadSecureBoot) ReadSecureBoot = ::KV_ReadSecureBoot;
  decltype(&::KV_WriteSecureBoot) WriteSecureBoot = ::KV_WriteSecureBoot;
  decltype(&::KV_EnableSecureBoot) EnableSecureBoot = ::KV_EnableSecureBoot;
  decltype(&::KV_PowerOff) PowerOff = ::KV_PowerOff;
  decltype(&device::oxbind::ReadStationRecord) ReadStationRecord =
      device::oxbind::ReadStationRecord;
  decltype(&device::oxbind::WriteStationRecord) WriteStationRecord =
      device::oxbind::WriteStationRecord;
};

// The table: one row a check.
class ConformanceReport {
 public:
  enum class Result { Pass, Fail, Skip };
  struct Row {
    std::string check;
    Result result;
    std::string why;
  };

  void Add(const std::string& check, Result result, const std::string& why);
  void Check(const std::string& check, bool passed, const std::string& why) {
    Add(check, passed ? Result::Pass : Result::Fail, why);
  }
  // A reply's time, for the time-out row.
  void Timed(const std::string& what, int64_t ms);
  void AddTimingRow(const std::string& check, int timeoutMs);
  bool AllPassed() const;
  void Print() const;

 private:
  std::vector<Row> rows_;
  int64_t slowestMs_ = -1;
  std::string slowest_;
};

// The library's time-out of one attempt and its attempts (its defaults, or the environment's
// KESTREL_OXBIND_REPLY_TIMEOUT_MS and KESTREL_OXBIND_ATTEMPTS as the library reads them).
int LibraryReplyTimeoutMs();

// The error paths and the framing, on the port's device (no phone test open meanwhile).
void RunFrameChecks(const QString& device, int timeoutMs, ConformanceReport* report);

// kestrel-cli phone conformance --port N [--allow-irreversible]: the exit code (0 when every
// check that ran passed).
int RunPhoneConformance(const PhoneCalls& calls, int port, bool allowIrreversible);

}  // namespace kestrel::cli
