// kestrel-cli phone conformance: the table, the checks made through the phone library, and
// the order of the whole run. Every value the check writes is read first and written back,
// and read back once more, so that the phone is left as it was found; calls that cannot be
// undone run only when asked for.
#include "tools/cli/phone_conformance.h"

#include "device/oxbind/wire_protocol.h"
#include "device/ports/port_map.h"
#include "device/sync/manual_reset_event.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

namespace kestrel::cli {
namespace {

using Result = ConformanceReport::Result;

constexpr int kTextBuffer = 16384;
constexpr int kSnBytes = 24;
constexpr int kCuBytes = 24;
constexpr uint16_t kSecureBootItems = 7;
constexpr int kCalibrationMode = 10;  // the mode a calibration-mode job asks for
constexpr int kModeWaitMs = 3000;

int64_t NowMs() {
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

struct NvItem {
  const char* name;
  uint32_t bit;
  std::size_t offset;
  std::size_t size;
  bool address;
};

const NvItem kNvItems[] = {
    {"IMEI1", KV_NV_IMEI1, offsetof(NvInfoRecord, imei1), 16, false},
    {"IMEI2", KV_NV_IMEI2, offsetof(NvInfoRecord, imei2), 16, false},
    {"IMEI3", KV_NV_IMEI3, offsetof(NvInfoRecord, imei3), 16, false},
    {"IMEI4", KV_NV_IMEI4, offsetof(NvInfoRecord, imei4), 16, false},
    {"BT", KV_NV_BT, offsetof(NvInfoRecord, bt), 13, true},
    {"WIFI", KV_NV_WIFI, offsetof(NvInfoRecord, wifi), 13, true},
};
constexpr uint32_t kAllItems = 0x77;

QByteArray Item(const NvInfoRecord& r, const NvItem& item) {
  const char* p = reinterpret_cast<const char*>(&r) + item.offset;
  return QByteArray(p, static_cast<qsizetype>(strnlen(p, item.size)));
}

void SetItem(NvInfoRecord* r, const NvItem& item, const QByteArray& text) {
  char* p = reinterpret_cast<char*>(r) + item.offset;
  std::memset(p, 0, item.size);
  std::memcpy(p, text.constData(), std::min<std::size_t>(item.size - 1, text.size()));
}

bool IsImei(const QByteArray& t) {
  return t.size() == 15 &&
         std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsAddress(const QByteArray& t) {
  return t.size() == 12 && std::all_of(t.begin(), t.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// A value of the item's kind that differs from the one held: every digit moved on by one;
// an address is written in lower case, which the phone must read back in upper case.
QByteArray OtherValue(const NvItem& item, const QByteArray& held) {
  QByteArray out;
  for (char c : held) {
    if (item.address) {
      const int v = QByteArray(1, c).toInt(nullptr, 16);
      out += QByteArray::number((v + 1) % 16, 16);
    } else {
      out += static_cast<char>('0' + (c - '0' + 1) % 10);
    }
  }
  return out;
}

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

class LibraryChecks {
 public:
  LibraryChecks(const PhoneCalls& lib, PhoneHandle h, ConformanceReport& report)
      : lib_(lib), h_(h), report_(report) {}

  void Readable();
  void Identities();
  void Serials();
  void CuReference();
  void SecureBoot();
  void StationRecord();
  void Reversible() {
    Identities();
    Serials();
    CuReference();
    SecureBoot();
    StationRecord();
  }
  void Irreversible(int port);
  void PowerOff();

 private:
  int32_t Call(const char* name, const std::function<int32_t()>& f) {
    const int64_t start = NowMs();
    const int32_t r = f();
    report_.Timed(name, NowMs() - start);
    return r;
  }
  int32_t ReadNv(uint32_t mask, NvInfoRecord* r) {
    std::memset(r, 0, sizeof *r);
    r->mask = mask;
    return Call("KV_FastReadNvInfo", [&] { return lib_.FastReadNvInfo(h_, r); });
  }
  int32_t WriteNv(bool direct, const NvInfoRecord& r) {
    if (direct) return Call("KV_NvWriteDirect", [&] { return lib_.NvWriteDirect(h_, &r); });
    return Call("KV_FastWriteNvInfo", [&] { return lib_.FastWriteNvInfo(h_, &r); });
  }
  void IdentityWrite(bool direct, const NvInfoRecord& found, uint32_t held);
  void IdentityRefusals(const NvInfoRecord& found, uint32_t held);

  const PhoneCalls& lib_;
  PhoneHandle h_;
  ConformanceReport& report_;
  QByteArray apVersion_;
  bool haveAp_ = false;
};

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
    if (v.call == lib_.GetAPVersion && r == KV_OK) {
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

void LibraryChecks::Identities() {
  NvInfoRecord found;
  const int32_t r = ReadNv(kAllItems, &found);
  if (r != KV_OK) {
    report_.Check("KV_FastReadNvInfo", false, Code(r));
    report_.Add("KV_FastWriteNvInfo", Result::Skip,
                "the identities could not be read to be put back");
    return;
  }
  uint32_t held = 0;
  std::string bad;
  std::string summary;
  for (const NvItem& item : kNvItems) {
    const QByteArray text = Item(found, item);
    if (text.isEmpty()) continue;
    held |= item.bit;
    summary += std::string(summary.empty() ? "" : " ") + item.name;
    if (!(item.address ? IsAddress(text) : IsImei(text)))
      bad += std::string(bad.empty() ? "" : ", ") + item.name + " " + Quoted(text);
  }
  report_.Check("KV_FastReadNvInfo", bad.empty(),
                bad.empty() ? (held ? "holds " + summary : "holds no identities")
                            : "not as a phone keeps it: " + bad +
                                  " (an IMEI is 15 digits, an address 12 upper-case hex digits)");
  IdentityWrite(false, found, held);
  IdentityWrite(true, found, held);
  IdentityRefusals(found, held);
}

// Writes other values of the items the phone holds, reads them back, and puts the found ones
// back. An item the phone does not hold is left alone: no write takes it away again.
void LibraryChecks::IdentityWrite(bool direct, const NvInfoRecord& found, uint32_t held) {
  const char* name = direct ? "KV_NvWriteDirect" : "KV_FastWriteNvInfo";
  if (held == 0) {
    report_.Add(name, Result::Skip,
                "the phone holds no identities (a written one could not be taken back)");
    return;
  }
  NvInfoRecord test{};
  test.mask = held;
  for (const NvItem& item : kNvItems) {
    if (held & item.bit) SetItem(&test, item, OtherValue(item, Item(found, item)));
  }
  int32_t r = WriteNv(direct, test);
  std::string why;
  if (r != KV_OK) {
    why = "write " + Code(r);
  } else {
    NvInfoRecord back;
    r = ReadNv(held, &back);
    if (r != KV_OK) why = "read-back " + Code(r);
    for (const NvItem& item : kNvItems) {
      if (r != KV_OK || !(held & item.bit)) continue;
      const QByteArray want = Item(test, item).toUpper();
      if (Item(back, item) != want && why.empty())
        why = std::string(item.name) + " wrote " + Quoted(Item(test, item)) + ", read back " +
              Quoted(Item(back, item)) + (item.address ? ", not " + Quoted(want) : "");
    }
  }
  // Put back what was found, whatever happened above.
  NvInfoRecord restore = found;
  restore.mask = held;
  const int32_t put = WriteNv(direct, restore);
  NvInfoRecord again;
  const bool same =
      put == KV_OK && ReadNv(held, &again) == KV_OK &&
      std::all_of(std::begin(kNvItems), std::end(kNvItems), [&](const NvItem& item) {
        return !(held & item.bit) || Item(again, item).toUpper() == Item(found, item).toUpper();
      });
  if (!same && why.empty()) why = "the identities found could not be put back";
  report_.Check(name, why.empty(), why.empty() ? "written, read back and put back" : why);
}

// Items a phone cannot hold are refused with the bad-request result, and nothing changes.
void LibraryChecks::IdentityRefusals(const NvInfoRecord& found, uint32_t held) {
  const struct {
    const char* what;
    const NvItem& item;
    const char* text;
  } refusals[] = {{"an IMEI of 14 digits", kNvItems[0], "35693803564380"},
                  {"an IMEI with a letter", kNvItems[1], "35693803564380A"},
                  {"a non-hex address", kNvItems[4], "0011223344GZ"},
                  {"an address of 11 digits", kNvItems[5], "A0B1C2D3E4F"}};
  std::string why;
  for (const auto& refusal : refusals) {
    NvInfoRecord bad{};
    bad.mask = refusal.item.bit;
    SetItem(&bad, refusal.item, refusal.text);
    const int32_t r = WriteNv(false, bad);
    if (r != KV_ERR_DEVICE_BAD_REQUEST && why.empty())
      why = std::string(refusal.what) + " " + Code(r) + ", not 33";
    if (r == KV_OK && (held & refusal.item.bit)) {  // taken: put the found item back
      NvInfoRecord restore = found;
      restore.mask = refusal.item.bit;
      WriteNv(false, restore);
    } else if (r == KV_OK) {
      why += " (the phone now holds it)";
    }
  }
  report_.Check("identity record refusals", why.empty(),
                why.empty() ? "bad IMEIs and addresses answered 33" : why);
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

void LibraryChecks::StationRecord() {
  QByteArray found;
  int32_t r = Call("ReadStationRecord", [&] { return lib_.ReadStationRecord(h_, &found); });
  report_.Check("ReadStationRecord", r == KV_OK,
                r == KV_OK ? std::to_string(found.size()) + " bytes" : Code(r));
  if (r != KV_OK) {
    report_.Add("WriteStationRecord", Result::Skip, "the block could not be read to be put back");
    return;
  }
  // The largest block, every byte value in it (the frame's flag and escape too).
  QByteArray test(device::oxbind::kMaxStationRecordBytes, '\0');
  for (int i = 0; i < test.size(); ++i) test[i] = static_cast<char>((i * 7 + 0x7D) & 0xFF);
  std::string why;
  QByteArray back;
  r = Call("WriteStationRecord", [&] { return lib_.WriteStationRecord(h_, test); });
  if (r != KV_OK) {
    why = "write " + Code(r);
  } else if ((r = Call("ReadStationRecord", [&] { return lib_.ReadStationRecord(h_, &back); })) !=
             KV_OK) {
    why = "read-back " + Code(r);
  } else if (back != test) {
    why = "read back " + std::to_string(back.size()) + " bytes, not the 4096 written";
  }
  if ((Call("WriteStationRecord", [&] { return lib_.WriteStationRecord(h_, found); }) != KV_OK ||
       Call("ReadStationRecord", [&] { return lib_.ReadStationRecord(h_, &back); }) != KV_OK ||
       back != found) &&
      why.empty())
    why = "the block found could not be put back";
  report_.Check("WriteStationRecord", why.empty(),
                why.empty() ? "4096 bytes written, read back and put back" : why);
}

void LibraryChecks::Irreversible(int port) {
  int32_t r = Call("KV_SetUsbAutoMode", [&] { return lib_.SetUsbAutoMode(h_, 0); });
  report_.Check("KV_SetUsbAutoMode", r == KV_OK, r == KV_OK ? "off" : Code(r));
  r = Call("KV_EnableSecureBoot", [&] { return lib_.EnableSecureBoot(h_); });
  report_.Check("KV_EnableSecureBoot", r == KV_OK, r == KV_OK ? "enabled" : Code(r));
  device::ManualResetEvent arrived;
  r = lib_.EnterModeProcess(h_, 0, port, kCalibrationMode, &arrived, 0);
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

void SkipIrreversible(ConformanceReport& report) {
  for (const char* name :
       {"KV_SetUsbAutoMode", "KV_EnableSecureBoot", "KV_EnterModeProcess", "KV_PowerOff"})
    report.Add(name, Result::Skip, "cannot be undone: --allow-irreversible runs it");
}

}  // namespace

void ConformanceReport::Add(const std::string& check, Result result, const std::string& why) {
  rows_.push_back({check, result, why});
}

void ConformanceReport::Timed(const std::string& what, int64_t ms) {
  if (ms > slowestMs_) {
    slowestMs_ = ms;
    slowest_ = what;
  }
}

void ConformanceReport::AddTimingRow(const std::string& check, int timeoutMs) {
  const bool inTime = slowestMs_ <= timeoutMs;
  Check(check, inTime,
        (inTime ? "slowest " : "too slow: ") + slowest_ + " " + std::to_string(slowestMs_) +
            " ms (time-out " + std::to_string(timeoutMs) + " ms)");
}

bool ConformanceReport::AllPassed() const {
  return std::none_of(rows_.begin(), rows_.end(),
                      [](const Row& r) { return r.result == Result::Fail; });
}

void ConformanceReport::Print() const {
  std::size_t width = 5;
  for (const Row& r : rows_) width = std::max(width, r.check.size());
  const auto w = static_cast<int>(width);
  std::printf("%-*s | %-6s | %s\n", w, "check", "result", "why");
  std::printf("%s-+--------+-%s\n", std::string(width, '-').c_str(), std::string(40, '-').c_str());
  int passed = 0, failed = 0, skipped = 0;
  for (const Row& r : rows_) {
    const char* result = r.result == Result::Pass   ? "pass"
                         : r.result == Result::Fail ? "FAIL"
                                                    : "skip";
    (r.result == Result::Pass ? passed : r.result == Result::Fail ? failed : skipped) += 1;
    std::printf("%-*s | %-6s | %s\n", w, r.check.c_str(), result, r.why.c_str());
  }
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
}

int LibraryReplyTimeoutMs() {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue("KESTREL_OXBIND_REPLY_TIMEOUT_MS", &ok);
  return ok && v >= 10 && v <= 60000 ? v : 1000;
}

int RunPhoneConformance(const PhoneCalls& lib, int port, bool allowIrreversible) {
  ConformanceReport report;
  const QString device = device::ports::ResolvePort(port);
  const int timeoutMs = LibraryReplyTimeoutMs();
  const PhoneHandle h = lib.CreatePhone(0);
  if (h == KV_INVALID_HANDLE) {
    std::fputs("kestrel-cli phone conformance: the phone library did not start\n", stderr);
    return 1;
  }
  const PortChannel channel{KV_CHANNEL_COM, port, 115200};
  int32_t r = lib.BeginPhoneTest(h, &channel);
  report.Check("KV_BeginPhoneTest", r == KV_OK,
               r == KV_OK ? "COM" + std::to_string(port) + " " + device.toStdString() : Code(r));
  if (r == KV_OK) {
    LibraryChecks checks(lib, h, report);
    checks.Readable();
    checks.Reversible();
    lib.EndPhoneTest(h);
    // The frames the library never sends, on the port itself.
    RunFrameChecks(device, timeoutMs, &report);
    if (!allowIrreversible) {
      SkipIrreversible(report);
    } else if ((r = lib.BeginPhoneTest(h, &channel)) == KV_OK) {
      checks.Irreversible(port);
      checks.PowerOff();  // last: a phone that is off answers nothing more
      lib.EndPhoneTest(h);
    } else {
      report.Check("KV_BeginPhoneTest again", false, Code(r));
    }
    report.AddTimingRow("replies within the time-out", timeoutMs);
  }
  lib.ReleasePhone(h);
  report.Print();
  return report.AllPassed() ? 0 : 1;
}

}  // namespace kestrel::cli
