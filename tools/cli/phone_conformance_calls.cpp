// The conformance rows of the phone library's calls other than the identity record: the
// versions, AT commands, serial numbers, CU reference, secure-boot words, station record, and
// the calls that cannot be undone.
#include "device/oxbind_loader/phone_event.h"
#include "tools/cli/phone_conformance_checks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace kestrel::cli {
namespace {

using Result = ConformanceReport::Result;

constexpr int kTextBuffer = 16384;
constexpr int kSnBytes = 24;
constexpr int kCuBytes = 24;
constexpr uint16_t kSecureBootItems = 7;
constexpr int kCalibrationMode = 10;  // the mode a calibration-mode job asks for
constexpr int kModeWaitMs = 3000;

// The AP version in the diagnostic AT reply: +KVDIAG: "<28 characters><hex>", then OK.
bool DecodeDiag(const QByteArray& reply, QByteArray* version) {
  const qsizetype open = reply.indexOf('"');
  const qsizetype close = reply.indexOf('"', open + 1);
  if (!reply.startsWith("+KVDIAG: \"") || close < 0 || !reply.mid(close).startsWith("\"\r\nOK"))
    return false;
  const QByteArray inner = reply.mid(open + 1, close - open - 1);
  if (inner.size() < 28 || !inner.startsWith("0000000008000000")) return false;
  bool ok = false;
  const int length = inner.mid(16, 8).toInt(&ok, 16);
  const QByteArray hex = inner.mid(28);
  if (!ok || hex.size() != 2 * length || hex != hex.toUpper()) return false;
  *version = QByteArray::fromHex(hex);
  return version->toHex().toUpper() == hex;
}

}  // namespace

int64_t ConformanceNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Quoted(const QByteArray& text) {
  std::string out = "\"";
  for (char c : text.left(48)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + (text.size() > 48 ? "...\"" : "\"");
}

std::string Code(int32_t r) {
  return "answered " + std::to_string(r);
}

int32_t LibraryChecks::Call(const char* name, const std::function<int32_t()>& f) {
  const int64_t start = ConformanceNowMs();
  const int32_t r = f();
  report_.Timed(name, ConformanceNowMs() - start);
  return r;
}

void LibraryChecks::Readable() {
  static const uint8_t sync[10] = {0x7E, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x7E};
  int32_t r = Call("KV_Write", [&] { return lib_.Write(h_, sync, 10); });
  report_.Check("KV_Write (sync frame)", r == KV_OK, r == KV_OK ? "written" : Code(r));

  const struct {
    const char* name;
    decltype(&::KV_GetMsVersion) call;
  } versions[] = {{"KV_GetMsVersion", lib_.GetMsVersion},
                  {"KV_FastReadVersion", lib_.FastReadVersion},
                  {"KV_GetAPVersion", lib_.GetAPVersion}};
  for (const auto& v : versions) {
    std::vector<char> text(kTextBuffer, 0);
    r = Call(v.name, [&] { return v.call(h_, text.data(), kTextBuffer); });
    const QByteArray got(text.data());
    if (r != KV_OK) {
      report_.Check(v.name, false, Code(r));
    } else {
      report_.Check(v.name, !got.isEmpty(), got.isEmpty() ? "an empty text" : Quoted(got));
    }
    if (&v == &versions[2] && r == KV_OK) {  // the AP version, for the diagnostic reply
      apVersion_ = got;
      haveAp_ = true;
    }
  }

  std::vector<char> reply(kTextBuffer, 0);
  int32_t length = 0;
  r = Call("KV_SendATCommand",
           [&] { return lib_.SendATCommand(h_, "AT", 1, reply.data(), kTextBuffer, &length, 0); });
  report_.Check("KV_SendATCommand AT", r == KV_OK,
                r == KV_OK ? "reply " + Quoted(QByteArray(reply.data(), length)) : Code(r));

  std::fill(reply.begin(), reply.end(), 0);
  r = Call("KV_SendATCommand", [&] {
    return lib_.SendATCommand(h_, "AT+KVDIAG=\"0000000008000000\"", 1, reply.data(), kTextBuffer,
                              &length, 0);
  });
  QByteArray decoded;
  const QByteArray diag(reply.data(), length);
  if (r != KV_OK) {
    report_.Check("KV_SendATCommand AT+KVDIAG", false, Code(r));
  } else if (!DecodeDiag(diag, &decoded)) {
    report_.Check("KV_SendATCommand AT+KVDIAG", false, "not a diagnostic reply: " + Quoted(diag));
  } else if (haveAp_ && decoded != apVersion_) {
    report_.Check("KV_SendATCommand AT+KVDIAG", false,
                  "AP version " + Quoted(decoded) + ", KV_GetAPVersion " + Quoted(apVersion_));
  } else {
    report_.Check(
        "KV_SendATCommand AT+KVDIAG", true,
        haveAp_ ? "the AP version, hex-encoded" : "well formed (no AP version to compare)");
  }

  std::vector<char> cu(kCuBytes, 0);
  r = Call("KV_ReadCURef", [&] { return lib_.ReadCURef(h_, cu.data(), kCuBytes); });
  report_.Check("KV_ReadCURef", r == KV_OK, r == KV_OK ? "24 bytes" : Code(r));
  for (int sn1 : {1, 0}) {
    char sn[kSnBytes] = {};
    r = Call("KV_ReadSN", [&] { return lib_.ReadSN(h_, sn1, sn, kSnBytes); });
    report_.Check(sn1 ? "KV_ReadSN 1" : "KV_ReadSN 2", r == KV_OK,
                  r == KV_OK ? Quoted(QByteArray(sn, static_cast<qsizetype>(strnlen(sn, kSnBytes))))
                             : Code(r));
  }
}

void LibraryChecks::Serials() {
  for (int sn1 : {1, 0}) {
    const std::string name = sn1 ? "KV_WriteSN 1" : "KV_WriteSN 2";
    char found[kSnBytes] = {};
    int32_t r = Call("KV_ReadSN", [&] { return lib_.ReadSN(h_, sn1, found, kSnBytes); });
    if (r != KV_OK) {
      report_.Add(name, Result::Skip, "the serial number could not be read to be put back");
      continue;
    }
    const int foundLength = static_cast<int>(strnlen(found, kSnBytes));
    const QByteArray test = sn1 ? "KCONF-SN1-0123456789ABCD" : "KCONF-SN2";
    std::string why;
    r = Call("KV_WriteSN", [&] {
      return lib_.WriteSN(h_, sn1, test.constData(), static_cast<int32_t>(test.size()));
    });
    char back[kSnBytes] = {};
    if (r != KV_OK) {
      why = "write " + Code(r);
    } else if ((r = Call("KV_ReadSN", [&] { return lib_.ReadSN(h_, sn1, back, kSnBytes); })) !=
               KV_OK) {
      why = "read-back " + Code(r);
    } else if (QByteArray(back, static_cast<qsizetype>(strnlen(back, kSnBytes))) != test) {
      why = "wrote " + Quoted(test) + ", read back " +
            Quoted(QByteArray(back, static_cast<qsizetype>(strnlen(back, kSnBytes))));
    }
    r = Call("KV_WriteSN", [&] { return lib_.WriteSN(h_, sn1, found, foundLength); });
    std::memset(back, 0, sizeof back);
    if ((r != KV_OK ||
         Call("KV_ReadSN", [&] { return lib_.ReadSN(h_, sn1, back, kSnBytes); }) != KV_OK ||
         std::memcmp(back, found, kSnBytes) != 0) &&
        why.empty())
      why = "the serial number found could not be put back";
    report_.Check(name, why.empty(), why.empty() ? "written, read back and put back" : why);
  }
}

void LibraryChecks::CuReference() {
  char found[kCuBytes] = {};
  int32_t r = Call("KV_ReadCURef", [&] { return lib_.ReadCURef(h_, found, kCuBytes); });
  if (r != KV_OK) {
    report_.Add("KV_WriteCURef", Result::Skip, "the CU reference could not be read to be put back");
    return;
  }
  char test[kCuBytes] = {'K', 'C', 'O', 'N', 'F', '-', 'C', 'U'};
  test[20] = '~';  // zeros in the middle stay where they are
  std::string why;
  char back[kCuBytes] = {};
  r = Call("KV_WriteCURef", [&] { return lib_.WriteCURef(h_, test, kCuBytes); });
  if (r != KV_OK) {
    why = "write " + Code(r);
  } else if ((r = Call("KV_ReadCURef", [&] { return lib_.ReadCURef(h_, back, kCuBytes); })) !=
             KV_OK) {
    why = "read-back " + Code(r);
  } else if (std::memcmp(back, test, kCuBytes) != 0) {
    why = "read back " + Quoted(QByteArray(back, kCuBytes)) + ", not the 24 bytes written";
  }
  r = Call("KV_WriteCURef", [&] { return lib_.WriteCURef(h_, found, kCuBytes); });
  if ((r != KV_OK ||
       Call("KV_ReadCURef", [&] { return lib_.ReadCURef(h_, back, kCuBytes); }) != KV_OK ||
       std::memcmp(back, found, kCuBytes) != 0) &&
      why.empty())
    why = "the CU reference found could not be put back";
  report_.Check("KV_WriteCURef", why.empty(),
                why.empty() ? "written, read back and put back" : why);
}

void LibraryChecks::SecureBoot() {
  uint32_t found[kSecureBootItems] = {};
  std::string why;
  for (uint16_t i = 0; i < kSecureBootItems; ++i) {
    SecureBootItem item{i, 0};
    const int32_t r = Call("KV_ReadSecureBoot", [&] { return lib_.ReadSecureBoot(h_, &item, 6); });
    found[i] = item.value;
    if (r != KV_OK && why.empty()) why = "item " + std::to_string(i) + " " + Code(r);
  }
  report_.Check("KV_ReadSecureBoot", why.empty(), why.empty() ? "items 0 ... 6" : why);
  SecureBootItem beyond{kSecureBootItems, 0};
  int32_t r = Call("KV_ReadSecureBoot", [&] { return lib_.ReadSecureBoot(h_, &beyond, 6); });
  report_.Check(
      "KV_ReadSecureBoot item 7", r == KV_ERR_DEVICE_BAD_REQUEST,
      r == KV_ERR_DEVICE_BAD_REQUEST ? "answered 33 (index out of range)" : Code(r) + ", not 33");
  if (!why.empty()) {
    report_.Add("KV_WriteSecureBoot", Result::Skip, "the items could not be read to be put back");
    return;
  }
  for (uint16_t i = 0; i < kSecureBootItems; ++i) {
    const SecureBootItem test{i, found[i] ^ 0xA5A5A5A5u};
    SecureBootItem back{i, 0};
    r = Call("KV_WriteSecureBoot", [&] { return lib_.WriteSecureBoot(h_, &test, 6); });
    if (r != KV_OK) {
      if (why.empty()) why = "item " + std::to_string(i) + " write " + Code(r);
    } else if (Call("KV_ReadSecureBoot", [&] { return lib_.ReadSecureBoot(h_, &back, 6); }) !=
                   KV_OK ||
               back.value != test.value) {
      if (why.empty()) why = "item " + std::to_string(i) + " did not read back as written";
    }
    const SecureBootItem restore{i, found[i]};
    back.value = ~found[i];
    if ((Call("KV_WriteSecureBoot", [&] { return lib_.WriteSecureBoot(h_, &restore, 6); }) !=
             KV_OK ||
         Call("KV_ReadSecureBoot", [&] { return lib_.ReadSecureBoot(h_, &back, 6); }) != KV_OK ||
         back.value != found[i]) &&
        why.empty())
      why = "item " + std::to_string(i) + " could not be put back";
  }
  report_.Check("KV_WriteSecureBoot", why.empty(),
                why.empty() ? "items 0 ... 6 written, read back and put back" : why);
}

// The station record's block through the library's optional calls.
int32_t LibraryChecks::ReadRecord(QByteArray* block) {
  std::vector<uint8_t> buffer(KV_MAX_STATION_RECORD);
  int32_t length = 0;
  const int32_t r = Call("KV_ReadStationRecord", [&] {
    return lib_.ReadStationRecord(h_, buffer.data(), KV_MAX_STATION_RECORD, &length);
  });
  block->clear();
  if (r == KV_OK && length >= 0 && length <= KV_MAX_STATION_RECORD)
    *block = QByteArray(reinterpret_cast<const char*>(buffer.data()), length);
  return r;
}

int32_t LibraryChecks::WriteRecord(const QByteArray& block) {
  return Call("KV_WriteStationRecord", [&] {
    return lib_.WriteStationRecord(h_, reinterpret_cast<const uint8_t*>(block.constData()),
                                   static_cast<int32_t>(block.size()));
  });
}

void LibraryChecks::StationRecord() {
  if (!lib_.HasStationRecord()) {
    for (const char* name : {"KV_ReadStationRecord", "KV_WriteStationRecord"})
      report_.Add(name, Result::Skip, "the phone library has no station-record calls");
    return;
  }
  QByteArray found;
  int32_t r = ReadRecord(&found);
  report_.Check("KV_ReadStationRecord", r == KV_OK,
                r == KV_OK ? std::to_string(found.size()) + " bytes" : Code(r));
  if (r != KV_OK) {
    report_.Add("KV_WriteStationRecord", Result::Skip,
                "the block could not be read to be put back");
    return;
  }
  // The largest block, every byte value in it (the frame's flag and escape too).
  QByteArray test(KV_MAX_STATION_RECORD, '\0');
  for (int i = 0; i < test.size(); ++i) test[i] = static_cast<char>((i * 7 + 0x7D) & 0xFF);
  std::string why;
  QByteArray back;
  r = WriteRecord(test);
  if (r != KV_OK) {
    why = "write " + Code(r);
  } else if ((r = ReadRecord(&back)) != KV_OK) {
    why = "read-back " + Code(r);
  } else if (back != test) {
    why = "read back " + std::to_string(back.size()) + " bytes, not the 4096 written";
  }
  if ((WriteRecord(found) != KV_OK || ReadRecord(&back) != KV_OK || back != found) && why.empty())
    why = "the block found could not be put back";
  report_.Check("KV_WriteStationRecord", why.empty(),
                why.empty() ? "4096 bytes written, read back and put back" : why);
}

void LibraryChecks::Irreversible(int port) {
  int32_t r = Call("KV_SetUsbAutoMode", [&] { return lib_.SetUsbAutoMode(h_, 0); });
  report_.Check("KV_SetUsbAutoMode", r == KV_OK, r == KV_OK ? "off" : Code(r));
  r = Call("KV_EnableSecureBoot", [&] { return lib_.EnableSecureBoot(h_); });
  report_.Check("KV_EnableSecureBoot", r == KV_OK, r == KV_OK ? "enabled" : Code(r));
  device::oxbind::PhoneEvent arrived(lib_);
  r = lib_.EnterModeProcess(h_, 0, port, kCalibrationMode, arrived.get(), 0);
  const bool caught = r == KV_OK && arrived.Wait(kModeWaitMs);
  lib_.StopModeProcess(h_);
  report_.Check("KV_EnterModeProcess", caught,
                caught ? "mode " + std::to_string(kCalibrationMode) + " answered"
                       : (r != KV_OK ? Code(r)
                                     : "no answer to ENTER_MODE within " +
                                           std::to_string(kModeWaitMs) + " ms"));
}

void LibraryChecks::PowerOff() {
  const int32_t r = Call("KV_PowerOff", [&] { return lib_.PowerOff(h_); });
  report_.Check("KV_PowerOff", r == KV_OK, r == KV_OK ? "powered off" : Code(r));
}

}  // namespace kestrel::cli
