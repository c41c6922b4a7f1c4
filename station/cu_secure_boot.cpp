// The CU reference travels as 24 bytes, one per field; the phone is given at most 23
// characters (the last byte is always 0). The secure-boot words travel one item at a time.
// Only the CU reference counts the phone when it fails; the secure-boot failures are shown.
#include "station/cu_secure_boot.h"

#include "resources/string_table.h"
#include "station/cu_secure_boot_text.h"

#include <QString>

#include <array>
#include <cstdint>
#include <cstring>

namespace kestrel::station {
namespace {

using identity::ResultState;

constexpr int kMsgReadCuRefFailed = 174;
constexpr int kMsgWriteCuRefFailed = 175;
// A failed write of an item shows the same message as a failed read.
constexpr int kMsgSecureBootFailed = 181;
constexpr int kMsgEnableSecureBootFailed = 183;

constexpr std::int32_t kSecureBootItemSize = sizeof(SecureBootItem);

void SetResult(const JobContext& job, int message) {
  job.Host().SetResultText(resources::LoadString(message));
}

bool Fails(const JobContext& job, int message) {
  SetResult(job, message);
  job.Host().ShowResult(ResultState::Fail);
  return false;
}

}  // namespace

bool CuSecureBoot::ReadCuRef() {
  std::array<char, kCuRefLength> buffer{};
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const std::int32_t r =
      job_.Call("KV_ReadCURef", [&] { return kv.ReadCURef(h, buffer.data(), kCuRefLength); });
  if (r != 0) {
    SetResult(job_, kMsgReadCuRefFailed);
    // Not the verdict display with its identity lines: the message alone, in red, so that a
    // failed read does not stay on the busy colour.
    job_.Host().ShowPlainResult(ResultState::Fail);
    job_.Host().RecordOutcome(false);
    return false;
  }
  std::array<QString, kCuRefLength> texts;
  for (int i = 0; i < kCuRefLength; ++i) {
    texts[static_cast<std::size_t>(i)] = CuRefFieldText(buffer[static_cast<std::size_t>(i)]);
  }
  job_.Host().SetCuRefTexts(texts);
  job_.Host().PushBoundStrings();
  return true;
}

bool CuSecureBoot::WriteCuRef() {
  const std::array<QString, kCuRefLength> texts = job_.Host().CuRefTexts();
  std::array<char, kCuRefLength> buffer{};
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = CuRefByte(texts[i]);
  buffer[kCuRefLength - 1] = '\0';  // the 24th field only shows what a read returns
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  const std::int32_t r =
      job_.Call("KV_WriteCURef", [&] { return kv.WriteCURef(h, buffer.data(), kCuRefLength); });
  if (r == 0) return true;
  Fails(job_, kMsgWriteCuRefFailed);
  job_.Host().RecordOutcome(false);
  return false;
}

bool CuSecureBoot::ReadSecureBoot() {
  std::array<QString, kSecureBootItems> texts = job_.Host().SecureBootTexts();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  for (int i = 0; i < kSecureBootItems; ++i) {
    SecureBootItem item;
    std::memset(&item, 0, sizeof(item));
    item.index = static_cast<std::uint16_t>(i);
    const std::int32_t r = job_.Call(
        "KV_ReadSecureBoot", [&] { return kv.ReadSecureBoot(h, &item, kSecureBootItemSize); });
    if (r != 0) {
      job_.Host().SetSecureBootTexts(texts);  // the items read keep their new values
      return Fails(job_, kMsgSecureBootFailed);
    }
    const std::uint32_t value = item.value;  // a packed field: copied before use
    texts[static_cast<std::size_t>(i)] = SecureBootText(value);
  }
  job_.Host().SetSecureBootTexts(texts);
  job_.Host().PushBoundStrings();
  return true;
}

bool CuSecureBoot::WriteSecureBoot() {
  const std::array<QString, kSecureBootItems> texts = job_.Host().SecureBootTexts();
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  for (int i = 0; i < kSecureBootItems; ++i) {
    SecureBootItem item;
    std::memset(&item, 0, sizeof(item));
    item.index = static_cast<std::uint16_t>(i);
    item.value = ParseSecureBootValue(texts[static_cast<std::size_t>(i)]);
    const std::int32_t r = job_.Call(
        "KV_WriteSecureBoot", [&] { return kv.WriteSecureBoot(h, &item, kSecureBootItemSize); });
    if (r != 0) return Fails(job_, kMsgSecureBootFailed);
  }
  return true;
}

bool CuSecureBoot::EnableSecureBoot() {
  const PhoneHandle h = job_.phone;
  const device::oxbind::PhoneApi& kv = job_.Kv();
  if (job_.Call("KV_EnableSecureBoot", [&] { return kv.EnableSecureBoot(h); }) == 0) return true;
  return Fails(job_, kMsgEnableSecureBootFailed);
}

}  // namespace kestrel::station
