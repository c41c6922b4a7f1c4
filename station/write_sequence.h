// The write sequence of a job: runs on the job thread once the phone is reached and the phone
// test is open, and performs in a fixed order every step the settings ask for — the version
// checks, CU reference and secure boot, the station-record check, the serial numbers, the
// identity record (with read-back), the AT commands, the station-record update, the write-time
// limit, the saved result and the new IMEI base, USB enumeration off, the address counters and
// power-off. It reports through the job's host and counts the phone exactly once.
#pragma once

#include "identity/address_allocation.h"
#include "station/job_context.h"

#include <QString>

#include <cstdint>

namespace kestrel::records {
class ResultStore;
}

namespace kestrel::station {

// What a write job records beside the phone.
struct WriteJobRecords {
  records::ResultStore* store = nullptr;          // the passed phone is saved here
  identity::AddressFileState* addresses = nullptr;  // advanced after the identity write
  std::uint64_t imeiBase = 0;  // the IMEI base past this phone's IMEIs
  QString settingsPath;        // DefaultIMEI is written here after a pass
};

class WriteSequence {
 public:
  WriteSequence(const JobContext& job, WriteJobRecords records)
      : job_(job), records_(std::move(records)) {}

  void RunWriteJob();
  // The identity record through KV_NvWriteDirect (TavixNew 0): IMEI1, IMEI2 and Bluetooth.
  std::int32_t WriteIdentitiesDirect();
  // The identity record through KV_FastWriteNvInfo, with the read-back compare (ReadBack).
  std::int32_t WriteIdentitiesFast();
  // The result text of a station-record code.
  void ShowStagemarkError(std::int32_t code);

  // After a pass whose DefaultIMEI could not be written: false, with the reason.
  bool ImeiBaseStored() const { return imeiBaseError_.isEmpty(); }
  const QString& ImeiBaseError() const { return imeiBaseError_; }

 private:
  void ReportIdentityWriteFailure(std::int32_t code);
  // The read-back of the IMEIs and of the addresses (WriteIdentitiesFast).
  std::int32_t ReadBack(NvInfoRecord& record);
  std::int32_t ReadBackImeis();
  std::int32_t ReadBackAddresses();
  bool StoreImeiBase();
  // Puts DefaultIMEI back (record and file) when the phone whose base was stored is not saved.
  void RestoreImeiBase(const QString& base);

  const JobContext& job_;
  WriteJobRecords records_;
  QString imeiBaseError_;
};

}  // namespace kestrel::station
