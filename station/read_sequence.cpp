#include "station/read_sequence.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/cu_secure_boot.h"
#include "station/nv_record.h"

#include <array>

namespace kestrel::station {
namespace {

using identity::ResultState;

constexpr int kSerialBufferSize = 24;
constexpr std::uint32_t kAllImeis = KV_NV_IMEI1 | KV_NV_IMEI2 | KV_NV_IMEI3 | KV_NV_IMEI4;
constexpr std::uint32_t kBothAddresses = KV_NV_BT | KV_NV_WIFI;

// The six identity items in their fixed order.
enum Item { kImei1, kImei2, kImei3, kImei4, kBt, kWifi, kItemCount };

std::array<bool, kItemCount> ItemsOn(const config::StationSettings& s) {
  return {s.IMEI1Enabled != 0, s.IMEI2Enabled != 0, s.IMEI3Enabled != 0,
          s.IMEI4Enabled != 0, s.BT_ADDR != 0,      s.WIFI_ADDR != 0};
}

bool AllDigits(const QString& text) {
  for (const QChar c : text) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  }
  return true;
}

}  // namespace

std::vector<std::uint32_t> ReadSequence::ReadMasks(const config::StationSettings& s) {
  if (s.OperationMode == 0) return {kAllImeis, kBothAddresses};
  std::uint32_t imeis = 0;
  for (int slot = 1; slot <= 4; ++slot) {
    if (s.ImeiSlotEnabled(slot)) imeis |= ImeiMaskBit(slot);
  }
  std::uint32_t addresses = 0;
  if (s.BT_ADDR) addresses |= KV_NV_BT;
  if (s.WIFI_ADDR) addresses |= KV_NV_WIFI;
  if (imeis != 0 && addresses != 0) return {imeis, addresses};
  return {imeis | addresses};
}

bool ReadSequence::ReadSerialNumbers() {
  const config::StationSettings& s = job_.S();
  JobHost& w = job_.Host();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const struct {
    int enabled;
    std::int32_t isSn1;
  } serials[] = {{s.SN1Enabled, 1}, {s.SN2Enabled, 0}};
  for (const auto& sn : serials) {
    if (!sn.enabled) continue;
    std::array<char, kSerialBufferSize> buffer{};
    const std::int32_t r = job_.Call(
        "KV_ReadSN", [&] { return kv.ReadSN(h, sn.isSn1, buffer.data(), kSerialBufferSize); });
    if (r != 0) {
      w.SetResultText(resources::FormatString(157, {std::int64_t{r}}));
      w.ShowResult(ResultState::Fail);
      w.RecordOutcome(false);
      return false;
    }
    const QString text = QString::fromLocal8Bit(
        buffer.data(), static_cast<qsizetype>(qstrnlen(buffer.data(), kSerialBufferSize)));
    identity::IdentitySet ids = w.Identities();
    (sn.isSn1 ? ids.SN1 : ids.SN2) = text.left(kSerialBufferSize);
    w.SetIdentities(ids);
  }
  return true;
}

void ReadSequence::RunReadJob() {
  const config::StationSettings& s = job_.S();
  JobHost& w = job_.Host();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();

  // 1-2. CU reference and secure boot.
  CuSecureBoot extras(job_);
  if (s.OperateCURef && !extras.ReadCuRef()) return;
  if (s.SecureBoot && !extras.ReadSecureBoot()) return;

  // 3. Serial numbers.
  if (s.WriteSN && !ReadSerialNumbers()) return;

  // 4. Nothing of the identity record to read: no verdict.
  if (!s.AnyRecordItemEnabled()) return;

  // 5-6. One or two reads; any failed read fails the job, whatever the other gave.
  const std::array<bool, kItemCount> on = ItemsOn(s);
  std::array<QString, kItemCount> read;
  bool failed = false;
  for (const std::uint32_t mask : ReadMasks(s)) {
    NvInfoRecord record{};
    record.mask = mask;
    const std::int32_t r =
        job_.Call("KV_FastReadNvInfo", [&kv, h, &record] { return kv.FastReadNvInfo(h, &record); });
    if (r != 0) {
      failed = true;
      continue;
    }
    if (mask & kAllImeis) {
      for (int slot = 1; slot <= 4; ++slot) read[slot - 1] = FieldText(ImeiField(record, slot));
    }
    if (mask & kBothAddresses) {
      read[kBt] = FieldText(record.bt);
      read[kWifi] = FieldText(record.wifi);
    }
  }
  if (failed) {
    w.SetResultText(resources::LoadString(119));
    w.ShowResult(ResultState::Fail);
    return;
  }

  // 7. Items that are off count as not read; IMEI3 and IMEI4 must be digits where present.
  for (int i = 0; i < kItemCount; ++i) {
    if (!on[static_cast<std::size_t>(i)]) read[static_cast<std::size_t>(i)].clear();
  }
  if (on[kImei3] && !AllDigits(read[kImei3])) {
    w.SetResultText(QStringLiteral("IMEI3 not exist,may be not support IMEI3"));
    w.ShowResult(ResultState::Fail);
    return;
  }
  if (on[kImei4] && !AllDigits(read[kImei4])) {
    w.SetResultText(QStringLiteral("IMEI4 not exist"));
    w.ShowResult(ResultState::Fail);
    return;
  }

  identity::IdentitySet ids = w.Identities();
  // 8. Show what was read.
  if (!s.CheckIMEIAfterRead) {
    ids.IMEI1 = read[kImei1];
    ids.IMEI2 = read[kImei2];
    ids.IMEI3 = read[kImei3];
    ids.IMEI4 = read[kImei4];
    ids.BT = read[kBt];
    ids.WIFI = read[kWifi];
    w.SetIdentities(ids);
    w.SetResultText(resources::LoadString(120));
    w.ShowResult(ResultState::Pass);
    w.PushBoundStrings();
    return;
  }

  // 9. Compare with what was entered; an empty field is not compared but still listed.
  const std::array<const QString*, kItemCount> entered = {&ids.IMEI1, &ids.IMEI2, &ids.IMEI3,
                                                          &ids.IMEI4, &ids.BT,    &ids.WIFI};
  static const char* const kLabels[kItemCount] = {
      "\nIMEI1:", "\nIMEI2:", "\nIMEI3:", "\nIMEI4:", "\nBT:", "\nWIFI:"};
  bool matched = true;
  bool compared = false;
  QString text;
  for (int i = 0; i < kItemCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (!on[k] || entered[k]->isEmpty()) continue;
    compared = true;
    if (read[k].compare(*entered[k], Qt::CaseInsensitive) != 0) {
      text = resources::LoadString(169);
      matched = false;
    }
  }
  if (matched) text = resources::LoadString(compared ? 168 : 120);
  for (int i = 0; i < kItemCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (!on[k]) continue;
    text += QLatin1String(kLabels[k]) + read[k] + QStringLiteral("  Check:") + *entered[k];
  }
  w.SetResultText(text);
  w.ShowPlainResult(matched ? ResultState::Pass : ResultState::Fail);
}

}  // namespace kestrel::station
