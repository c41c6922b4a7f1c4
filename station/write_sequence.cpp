#include "station/write_sequence.h"

#include "config/ini_file.h"
#include "device/stagemark/stagemark.h"
#include "identity/imei.h"
#include "records/record_identities.h"
#include "records/result_store.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/cu_secure_boot.h"
#include "station/nv_record.h"
#include "station/version_checks.h"

#include <memory>
#include <vector>

namespace kestrel::station {
namespace {

using identity::ResultState;

constexpr std::int32_t kReadBackMismatch = 0xFFFF;

struct StagemarkRelease {
  void operator()(StagemarkObject* object) const { ReleaseStagemarkObject(object); }
};
using StagemarkHolder = std::unique_ptr<StagemarkObject, StagemarkRelease>;

// Counts the phone once, when the run ends (the object goes): the first outcome, or a failure
// that comes after a pass.
class OutcomeOnce : public identity::OutcomeReporter {
 public:
  explicit OutcomeOnce(JobHost& host) : host_(host) {}
  ~OutcomeOnce() override {
    if (decided_) host_.RecordOutcome(passed_);
  }
  OutcomeOnce(const OutcomeOnce&) = delete;
  OutcomeOnce& operator=(const OutcomeOnce&) = delete;
  void SetResultText(const QString& text) override { host_.SetResultText(text); }
  void ShowResult(ResultState state) override { host_.ShowResult(state); }
  void RecordOutcome(bool passed) override {
    if (!decided_) {
      decided_ = true;
      passed_ = passed;
    } else if (!passed) {
      passed_ = false;
    }
  }

 private:
  JobHost& host_;
  bool decided_ = false;
  bool passed_ = false;
};

records::RecordIdentities ToRecord(const identity::IdentitySet& ids) {
  return {ids.IMEI1, ids.IMEI2, ids.IMEI3, ids.IMEI4, ids.BT, ids.WIFI, ids.SN1, ids.SN2};
}

// A zeroed 8-bit buffer holding `length` characters of the serial number and a terminator.
std::vector<char> SerialBuffer(const QString& text, int length) {
  const std::size_t size = static_cast<std::size_t>(std::max(length, 0)) + 1;
  std::vector<char> buffer(size, '\0');
  const QByteArray bytes = text.toLocal8Bit();
  for (std::size_t i = 0; i + 1 < size && i < static_cast<std::size_t>(bytes.size()); ++i) {
    buffer[i] = bytes[static_cast<qsizetype>(i)];
  }
  return buffer;
}

}  // namespace

void WriteSequence::RunWriteJob() {
  config::StationSettings& s = *job_.settings;
  JobHost& w = job_.Host();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  std::int32_t code = 0;
  std::int32_t phase = 0;

  // 1. The version information of the last phone goes.
  w.SetApVersionText(QString());
  w.PushBoundStrings();

  // 2-5. Versions, CU reference, secure boot.
  VersionChecks versions(job_);
  if (s.CheckAPVersion && !versions.ApVersionStep()) return;
  if (s.CheckVer && !versions.CheckSoftwareVersion()) return;
  CuSecureBoot extras(job_);
  if (s.OperateCURef && !extras.WriteCuRef()) return;
  if (s.SecureBoot) {
    if (!extras.WriteSecureBoot()) return;
    if (s.EnableSecure && !extras.EnableSecureBoot()) return;
  }

  // 6. The station record: the stations before this one must have passed the phone.
  StagemarkHolder record;
  if (s.Stagemark && !kv.HasStationRecord()) {
    // Another maker's library may not carry the station record: say so rather than fail as
    // if the object could not be made.
    w.SetResultText(QStringLiteral("The phone library %1 does not support the station record "
                                   "(KV_ReadStationRecord, KV_WriteStationRecord): switch "
                                   "Stagemark off or use a library that has it.")
                        .arg(QString::fromUtf8(kv.info.name)));
    w.ShowResult(ResultState::Fail);
    w.RecordOutcome(false);
    return;
  }
  if (s.Stagemark) {
    const std::int64_t start = JobContext::NowMs();
    record.reset(CreateStagemarkObject(h));
    job_.Report("CreateStagemarkObject", start, JobContext::NowMs() - start, record ? 0 : -1);
    if (!record) {
      w.SetResultText(resources::LoadString(113));
      w.ShowResult(ResultState::Fail);
      w.RecordOutcome(false);
      return;
    }
    const std::int32_t r = job_.Call("CheckPhase", [&] {
      return CheckPhase(record.get(), s.CurrentStationName.constData(),
                        s.CheckStationName.constData());
    });
    if (r != 0) {
      ShowStagemarkError(r);
      w.ShowResult(ResultState::Fail);
      w.RecordOutcome(false);
      return;  // the record object is released here, not kept to the next job
    }
  }

  // 7. Serial numbers: SN2 only after SN1 was written.
  if (s.WriteSN) {
    const identity::IdentitySet ids = w.Identities();
    if (s.SN1Enabled) {
      const std::vector<char> sn1 = SerialBuffer(ids.SN1, s.SNLength);
      code = job_.Call("KV_WriteSN", [&] { return kv.WriteSN(h, 1, sn1.data(), s.SNLength); });
    }
    if (code == 0 && s.SN2Enabled) {
      const std::vector<char> sn2 = SerialBuffer(ids.SN2, s.SNLength);
      code = job_.Call("KV_WriteSN", [&] { return kv.WriteSN(h, 0, sn2.data(), s.SNLength); });
    }
    if (code != 0) {
      w.SetResultText(resources::FormatString(157, {std::int64_t{code}}));
      w.ShowResult(ResultState::Fail);
      w.RecordOutcome(false);
      return;
    }
  }

  // 8. The identity record.
  if (s.AnyRecordItemEnabled()) {
    code = s.TavixNew ? WriteIdentitiesFast() : WriteIdentitiesDirect();
  }

  // 9. AT commands.
  if (!versions.SendAtCommands()) return;

  // 10. The station record keeps this station's result, a failure too.
  if (s.Stagemark) {
    phase = job_.Call("UpdatePhase", [&] {
      return code == 0
                 ? UpdatePhase(record.get(), s.CurrentStationName.constData(), 1, nullptr, 0, 0)
                 : UpdatePhase(record.get(), s.CurrentStationName.constData(), 0, "Write Fail", 0,
                               0);
    });
    if (code != 0) {
      w.SetResultText(resources::FormatString(106, {std::int64_t{code}}));
      w.ShowResult(ResultState::Fail);
    } else if (phase != 0) {
      ShowStagemarkError(phase);
      w.ShowResult(ResultState::Fail);
    }
  }

  // 11.
  record.reset();

  // 12. The outcome. From here on the phone is counted exactly once, when the run ends: a
  // failure of a later step (USB off, the address range, power-off) turns a pass into a
  // failure, and a second failure is not counted again.
  OutcomeOnce tally(w);
  const bool usbOff = s.OperationMode == 1 && s.DisableAutoUSB != 0;
  bool saved = false;
  const auto elapsed = static_cast<std::uint32_t>(JobContext::NowMs() - job_.phoneReachedMs);
  if (code == 0 && phase == 0 && s.WriteTimeCheck != 0 &&
      elapsed > static_cast<std::uint32_t>(s.WriteTime)) {
    w.SetResultText(resources::FormatString(122, {std::int64_t{s.WriteTime}}));
    w.ShowResult(ResultState::Fail);
    tally.RecordOutcome(false);
  } else if (code != 0 || phase != 0) {
    tally.RecordOutcome(false);
  } else {
    // The new IMEI base reaches the settings file before the phone reaches the result store:
    // a station killed between the two then skips this phone's IMEIs, where the other order
    // would offer IMEIs already recorded (and refuse every phone after them).
    const QString baseBefore = s.DefaultIMEI;
    StoreImeiBase();
    bool mayBeRecorded = false;
    if (records_.store == nullptr ||
        !records_.store->SaveResult(s, ToRecord(w.Identities()), w, &mayBeRecorded)) {
      if (records_.store == nullptr) {
        w.SetResultText(resources::LoadString(134));
        w.ShowResult(ResultState::Fail);
      }
      // Not recorded: the next phone is offered the same IMEIs again. A line that may still be
      // in the file (its sync failed) keeps the new base: skipping IMEIs is safe, offering
      // recorded ones again refuses every phone after them.
      if (!mayBeRecorded) RestoreImeiBase(baseBefore);
      tally.RecordOutcome(false);
    } else {
      // Recorded: its line and the new base stay, whatever a later step says.
      saved = true;
      if (!usbOff) {
        w.SetResultText(resources::LoadString(105));
        w.ShowResult(ResultState::Pass);
      }
      tally.RecordOutcome(true);
    }
  }

  // 13. USB enumeration off, for a phone that passed (a failed phone keeps it for rework).
  if (usbOff && saved) {
    const std::int32_t r =
        job_.Call("KV_SetUsbAutoMode", [&kv, h] { return kv.SetUsbAutoMode(h, 0); });
    if (r == 0) {
      w.SetResultText(resources::LoadString(105));
      w.ShowResult(ResultState::Pass);
    } else {
      w.SetResultText(resources::FormatString(179, {std::int64_t{r}}));
      w.ShowResult(ResultState::Fail);
      tally.RecordOutcome(false);
    }
  }

  // 14. The address counters move on, passed or failed.
  if (!identity::AdvanceAddresses(s, *records_.addresses, w, tally)) return;

  // 15. A failed phone is powered off too.
  if (s.PowerOff) {
    const std::int32_t r = job_.Call("KV_PowerOff", [&kv, h] { return kv.PowerOff(h); });
    if (r != 0) {
      w.SetResultText(resources::LoadString(184));
      w.ShowResult(ResultState::Fail);
      tally.RecordOutcome(false);
    }
  }
}

bool WriteSequence::StoreImeiBase() {
  QString error;
  if (identity::StoreImeiBaseAfterPass(*job_.settings, records_.imeiBase, records_.settingsPath,
                                       &error)) {
    return true;
  }
  imeiBaseError_ = error.isEmpty() ? QStringLiteral("not written") : error;
  return false;
}

void WriteSequence::RestoreImeiBase(const QString& base) {
  job_.settings->DefaultIMEI = base;
  imeiBaseError_.clear();  // nothing is ahead of the file any more
  // A failed write leaves the advanced base on disk: IMEIs are skipped, none is reused.
  config::IniFile(records_.settingsPath)
      .WriteString(QStringLiteral("General"), QStringLiteral("DefaultIMEI"), base);
}

void WriteSequence::ReportIdentityWriteFailure(std::int32_t code) {
  JobHost& w = job_.Host();
  w.SetResultText(code == KV_ERR_IMEI_PROTECTED
                      ? resources::LoadString(144)
                      : resources::FormatString(106, {std::int64_t{code}}));
  w.ShowResult(ResultState::Fail);
}

std::int32_t WriteSequence::WriteIdentitiesDirect() {
  const config::StationSettings& s = job_.S();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const identity::IdentitySet ids = job_.Host().Identities();
  NvInfoRecord a{};
  NvInfoRecord b{};
  auto putImeis = [&](NvInfoRecord& r) {
    if (s.IMEI1Enabled) {
      r.mask |= KV_NV_IMEI1;
      PutField(r.imei1, ids.IMEI1);
    }
    if (s.IMEI2Enabled) {
      r.mask |= KV_NV_IMEI2;
      PutField(r.imei2, ids.IMEI2);
    }
  };
  auto putBluetooth = [&](NvInfoRecord& r) {
    if (s.BT_ADDR) {
      r.mask |= KV_NV_BT;
      PutField(r.bt, ids.BT);
    }
  };
  auto write = [&](const NvInfoRecord& r) {
    const std::int32_t code =
        job_.Call("KV_NvWriteDirect", [&kv, h, &r] { return kv.NvWriteDirect(h, &r); });
    if (code != 0) ReportIdentityWriteFailure(code);
    return code;
  };

  // Normal mode writes the IMEIs and the address as two records.
  if (s.OperationMode == 1 && s.AnyImeiEnabled() && (s.BT_ADDR || s.WIFI_ADDR)) {
    putImeis(a);
    if (const std::int32_t r = write(a); r != 0) return r;
    putBluetooth(b);
    return write(b);
  }
  putBluetooth(a);
  putImeis(a);
  return write(a);
}

std::int32_t WriteSequence::WriteIdentitiesFast() {
  const config::StationSettings& s = job_.S();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const identity::IdentitySet ids = job_.Host().Identities();
  NvInfoRecord record{};
  for (int slot = 1; slot <= 4; ++slot) {
    if (!s.ImeiSlotEnabled(slot)) continue;
    record.mask |= ImeiMaskBit(slot);
    PutField(ImeiField(record, slot), ids.Imei(slot));
  }
  if (s.BT_ADDR) {
    record.mask |= KV_NV_BT;
    PutField(record.bt, ids.BT);
  }
  if (s.WIFI_ADDR) {
    record.mask |= KV_NV_WIFI;
    PutField(record.wifi, ids.WIFI);
  }
  const std::int32_t r =
      job_.Call("KV_FastWriteNvInfo", [&kv, h, &record] { return kv.FastWriteNvInfo(h, &record); });
  if (r != 0) {
    // With the station record on, its update step reports the failure.
    if (!s.Stagemark) ReportIdentityWriteFailure(r);
    return r;
  }
  if (!s.ReadBack) return r;
  if (s.AnyImeiEnabled()) {
    if (const std::int32_t rr = ReadBackImeis(); rr != 0) return rr;
  }
  if (s.BT_ADDR || s.WIFI_ADDR) return ReadBackAddresses();
  return 0;
}

std::int32_t WriteSequence::ReadBack(NvInfoRecord& record) {
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const std::int32_t r =
      job_.Call("KV_FastReadNvInfo", [&kv, h, &record] { return kv.FastReadNvInfo(h, &record); });
  // A read-back that could not be made fails the phone: nothing was verified. (With the
  // station record on, its update step reports the failure.)
  if (r != 0 && !job_.S().Stagemark) {
    job_.Host().SetResultText(resources::LoadString(119));
    job_.Host().ShowResult(ResultState::Fail);
  }
  return r;
}

std::int32_t WriteSequence::ReadBackImeis() {
  const config::StationSettings& s = job_.S();
  JobHost& w = job_.Host();
  NvInfoRecord record{};
  for (int slot = 1; slot <= 4; ++slot) {
    if (s.ImeiSlotEnabled(slot)) record.mask |= ImeiMaskBit(slot);
  }
  if (const std::int32_t r = ReadBack(record); r != 0) return r;
  const identity::IdentitySet ids = w.Identities();
  for (int slot = 1; slot <= 4; ++slot) {
    if (s.ImeiSlotEnabled(slot) && FieldText(ImeiField(record, slot)) != ids.Imei(slot)) {
      w.SetResultText(resources::FormatString(180, {std::int64_t{slot}}));
      w.ShowResult(ResultState::Fail);
      return kReadBackMismatch;
    }
  }
  return 0;
}

std::int32_t WriteSequence::ReadBackAddresses() {
  const config::StationSettings& s = job_.S();
  JobHost& w = job_.Host();
  NvInfoRecord record{};
  if (s.BT_ADDR) record.mask |= KV_NV_BT;
  if (s.WIFI_ADDR) record.mask |= KV_NV_WIFI;
  std::int32_t r = ReadBack(record);
  if (r != 0) return r;
  // The station's address texts become upper case (and stay so), as the phone keeps them.
  // An address is hexadecimal digits, so the read-back is compared without regard to case
  // (as the read job compares): a phone or phone library that gives lower case holds the
  // same address.
  identity::IdentitySet ids = w.Identities();
  if (s.BT_ADDR) {
    ids.BT = ids.BT.toUpper();
    w.SetIdentities(ids);
    if (FieldText(record.bt).compare(ids.BT, Qt::CaseInsensitive) != 0) {
      w.SetResultText(resources::LoadString(185));
      w.ShowResult(ResultState::Fail);
      r = kReadBackMismatch;
    }
  }
  if (s.WIFI_ADDR) {
    ids.WIFI = ids.WIFI.toUpper();
    w.SetIdentities(ids);
    if (FieldText(record.wifi).compare(ids.WIFI, Qt::CaseInsensitive) != 0) {
      w.SetResultText(resources::LoadString(186));
      w.ShowResult(ResultState::Fail);
      r = kReadBackMismatch;
    }
  }
  return r;
}

void WriteSequence::ShowStagemarkError(std::int32_t code) {
  const int id = device::stagemark::StagemarkMessageId(code);
  JobHost& w = job_.Host();
  if (id == 127 || id == 139) {
    w.SetResultText(
        resources::FormatString(id, {QString::fromLocal8Bit(job_.S().CheckStationName)}));
  } else {
    w.SetResultText(resources::LoadString(id));
  }
}

}  // namespace kestrel::station
