// The conformance check's rows made through the phone library (phone_conformance.h has the
// run and its table). Every value written is read first, put back afterwards and read once
// more, so that the phone is left as it was found.
#pragma once

#include "tools/cli/phone_conformance.h"

#include <QByteArray>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace kestrel::cli {

int64_t ConformanceNowMs();
// A text for the table: quoted, control bytes as \xNN, long ones cut.
std::string Quoted(const QByteArray& text);
// "answered N".
std::string Code(int32_t r);

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
  // One library call, timed for the time-out row.
  int32_t Call(const char* name, const std::function<int32_t()>& f);
  int32_t ReadNv(uint32_t mask, NvInfoRecord* r) {
    std::memset(r, 0, sizeof *r);
    r->mask = mask;
    return Call("KV_FastReadNvInfo", [&] { return lib_.FastReadNvInfo(h_, r); });
  }
  int32_t WriteNv(bool direct, const NvInfoRecord& r) {
    if (direct) return Call("KV_NvWriteDirect", [&] { return lib_.NvWriteDirect(h_, &r); });
    return Call("KV_FastWriteNvInfo", [&] { return lib_.FastWriteNvInfo(h_, &r); });
  }
  int32_t ReadRecord(QByteArray* block);
  int32_t WriteRecord(const QByteArray& block);
  void IdentityWrite(bool direct, const NvInfoRecord& found, uint32_t held);
  void IdentityRefusals(const NvInfoRecord& found, uint32_t held);

  const PhoneCalls& lib_;
  PhoneHandle h_;
  ConformanceReport& report_;
  QByteArray apVersion_;
  bool haveAp_ = false;
};

}  // namespace kestrel::cli
