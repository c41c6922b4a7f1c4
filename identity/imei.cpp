#include "identity/imei.h"

#include "config/ini_file.h"
#include "identity/number_text.h"

namespace kestrel::identity {

namespace {

constexpr int kImeiDigits = 15;
constexpr int kBodyDigits = 14;

int GenMode(const config::StationSettings& s, int slot) {
  switch (slot) {
    case 1:
      return s.IMEI1GenMode;
    case 2:
      return s.IMEI2GenMode;
    case 3:
      return s.IMEI3GenMode;
    default:
      return s.IMEI4GenMode;
  }
}

bool Enabled(const config::StationSettings& s, int slot) {
  switch (slot) {
    case 1:
      return s.IMEI1Enabled != 0;
    case 2:
      return s.IMEI2Enabled != 0;
    case 3:
      return s.IMEI3Enabled != 0;
    default:
      return s.IMEI4Enabled != 0;
  }
}

}  // namespace

int ImeiCheckDigit(std::uint64_t body) {
  unsigned sum = 0;
  bool doubled = true;  // position 0, the rightmost digit, is doubled
  for (; body != 0; body /= 10U) {
    unsigned digit = static_cast<unsigned>(body % 10U);
    if (doubled) {
      digit *= 2U;
      if (digit >= 10U) digit = digit / 10U + digit % 10U;
    }
    sum += digit;
    doubled = !doubled;
  }
  return static_cast<int>((10U - sum % 10U) % 10U);
}

QString FullImei(std::uint64_t body) {
  return DecimalPadded(body * 10U + static_cast<std::uint64_t>(ImeiCheckDigit(body)), kImeiDigits);
}

QString NextImeiFromPrefix(const QString& prefix) {
  QString bodyText;
  if (prefix.size() > 12) {
    const SplitCounter next = IncrementSplit(prefix);
    bodyText = DecimalPadded(next.high, 2) + DecimalPadded(next.low, 12);
  } else {
    bodyText = DecimalPadded(ReadDecimal(prefix) + 1U, kBodyDigits);
  }
  return FullImei(ReadDecimal(bodyText));
}

bool VerifyImeiCheckDigit(const QString& imeiText) {
  const std::uint64_t v = ReadDecimal(imeiText);
  return static_cast<int>(v % 10U) == ImeiCheckDigit(v / 10U);
}

void PrepareImeis(const config::StationSettings& settings, IdentitySet& identities,
                  std::uint64_t& imeiBase) {
  imeiBase = ReadDecimal(settings.DefaultIMEI);
  QString prefix;
  qsizetype p = 0;

  if (settings.IMEI1Enabled != 0 && settings.IMEI1GenMode != kImeiManual) {
    identities.IMEI1 = FullImei(imeiBase);
    p = identities.IMEI1.size() - 1;
    prefix = identities.IMEI1.left(p);
    ++imeiBase;
  }

  for (int slot = 2; slot <= 4; ++slot) {
    if (!Enabled(settings, slot)) continue;
    QString& text = identities.Imei(slot);
    const int mode = GenMode(settings, slot);
    if (settings.UseSameIMEI != 0) {
      text = identities.IMEI1;
      continue;
    }
    if (mode == kImeiFromBase) {
      text = FullImei(imeiBase);
      ++imeiBase;
    } else if (mode == kImeiIncremented && settings.IMEI1GenMode != kImeiManual) {
      text = NextImeiFromPrefix(prefix);
      ++imeiBase;
    }
    if (mode != kImeiManual) prefix = text.left(p);
  }
}

int GeneratedImeiCount(const config::StationSettings& settings) {
  config::StationSettings fromZero = settings;
  fromZero.DefaultIMEI = QStringLiteral("0");
  IdentitySet scratch;
  std::uint64_t base = 0;
  PrepareImeis(fromZero, scratch, base);
  return static_cast<int>(base);
}

bool NeedsImeiDerivation(const config::StationSettings& settings) {
  if (settings.IMEI1Enabled == 0) return false;
  if (settings.IMEI1GenMode == kImeiManual) return true;
  for (int slot = 2; slot <= 4; ++slot) {
    if (Enabled(settings, slot) && GenMode(settings, slot) == kImeiManual) return true;
  }
  return false;
}

void DeriveImeisFromTyped(const config::StationSettings& settings, IdentitySet& identities) {
  const qsizetype p = identities.IMEI1.isEmpty() ? 0 : identities.IMEI1.size() - 1;
  QString prefix = identities.IMEI1.left(p);

  for (int slot = 2; slot <= 4; ++slot) {
    if (!Enabled(settings, slot)) continue;
    QString& text = identities.Imei(slot);
    const int mode = GenMode(settings, slot);
    if (settings.UseSameIMEI != 0) {
      text = identities.IMEI1;
    } else if (settings.IMEI1GenMode == kImeiManual && mode == kImeiIncremented) {
      text = NextImeiFromPrefix(prefix);
      prefix = text.left(p);
    } else if (settings.IMEI1GenMode != kImeiManual && mode != kImeiManual) {
      prefix = text.left(p);
    }
  }
}

bool StoreImeiBaseAfterPass(config::StationSettings& settings, std::uint64_t imeiBase,
                            const QString& settingsPath, QString* error) {
  settings.DefaultIMEI = DecimalPadded(imeiBase, kBodyDigits);
  config::IniFile ini(settingsPath);
  const bool written = ini.WriteString(QStringLiteral("General"), QStringLiteral("DefaultIMEI"),
                                       settings.DefaultIMEI);
  if (!written && error != nullptr) *error = ini.LastError();
  return written;
}

std::uint64_t ImeiBaseForSave(const config::StationSettings& settings, std::uint64_t imeiBase) {
  std::uint64_t back = 0;
  if (settings.AutoCreateIMEI != 0 && settings.UseSameIMEI == 0) {
    const bool imei2 = settings.IMEI2Enabled != 0;
    const bool imei3 = settings.IMEI3Enabled != 0;
    const bool imei4 = settings.IMEI4Enabled != 0;
    if (imei2 && imei3 && imei4) {
      back = 3;
    } else if (imei2 && imei3) {
      back = 2;
    } else if (imei2 || imei3 || imei4) {
      back = 1;
    }
  }
  // Every preparation starts the base at DefaultIMEI, and a pass moves DefaultIMEI up to the
  // base, so the IMEIs below DefaultIMEI belong to phones already written.
  const std::uint64_t floor = ReadDecimal(settings.DefaultIMEI);
  if (imeiBase <= floor) return floor;
  return imeiBase - floor >= back ? imeiBase - back : floor;
}

QString ImeiBaseForSaveText(const config::StationSettings& settings, std::uint64_t imeiBase) {
  return DecimalPadded(ImeiBaseForSave(settings, imeiBase), kBodyDigits);
}

}  // namespace kestrel::identity
