// Typed text through the identity arithmetic: a typed IMEI1 driving the derive, prefixes of
// any length and content, and the Wi-Fi prefix rule. Nothing may crash, and every IMEI made
// from a 14-digit body must pass its own check.
#include "identity/address_allocation.h"
#include "identity/imei.h"
#include "identity/number_text.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

class NullReporter : public kestrel::identity::OutcomeReporter {
 public:
  void SetResultText(const QString&) override {}
  void ShowResult(kestrel::identity::ResultState) override {}
  void RecordOutcome(bool) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::identity;
  if (size == 0) return 0;
  const unsigned flags = data[0];
  const QString text =
      QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

  kestrel::config::StationSettings s;
  s.IMEI1Enabled = 1;
  s.IMEI1GenMode = static_cast<int>(flags & 1U);
  s.IMEI2Enabled = 1;
  s.IMEI2GenMode = static_cast<int>((flags >> 1) % 3U);
  s.IMEI3Enabled = (flags >> 3) & 1U;
  s.IMEI3GenMode = 2;
  s.IMEI4Enabled = (flags >> 4) & 1U;
  s.IMEI4GenMode = static_cast<int>((flags >> 5) % 3U);
  s.UseSameIMEI = (flags >> 7) & 1U;
  s.DefaultIMEI = text.left(14);

  IdentitySet ids;
  ids.IMEI1 = text;
  DeriveImeisFromTyped(s, ids);
  std::uint64_t base = 0;
  PrepareImeis(s, ids, base);
  (void)ImeiBaseForSave(s, base);
  (void)NextImeiFromPrefix(text);
  (void)VerifyImeiCheckDigit(text);

  const std::uint64_t body = ReadDecimal(text) % 100000000000000ULL;
  const QString full = FullImei(body);
  if (full.size() != 15 || !VerifyImeiCheckDigit(full)) std::abort();

  s.WIFI_ADDR = 1;
  s.AutoWIFI_ADDR = flags & 1U;
  s.ForeWIFI = text.left(6);
  NullReporter reporter;
  (void)CheckWifiPrefix(s, text, reporter);
  return 0;
}
