// The identity entry fields: preparing them for the next phone, clearing what must be entered
// again, the reaction to every change (character filter, SN cut, IMEI1 copy, completion chain
// and focus advance), the scanner's terminating keys, and the pre-job identity check.
#include "station/control_ids.h"
#include "station/station_controller.h"
#include "ui/thread_handoff.h"

#include "identity/address_allocation.h"
#include "identity/imei.h"
#include "identity/serial_numbers.h"
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QLineEdit>
#include <QPushButton>

namespace kestrel::station {
namespace {

constexpr int kImeiLength = 15;
constexpr int kAddressLength = 12;

bool IsDecimal(QChar c) {
  return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool IsHex(QChar c) {
  return IsDecimal(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

bool IsLatinAlphanumeric(QChar c) {
  return IsDecimal(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
         (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool IsImei(IdentityField f) {
  return f <= IdentityField::IMEI4;
}

const QString& Text(const identity::IdentitySet& ids, IdentityField f) {
  switch (f) {
    case IdentityField::IMEI1:
      return ids.IMEI1;
    case IdentityField::IMEI2:
      return ids.IMEI2;
    case IdentityField::IMEI3:
      return ids.IMEI3;
    case IdentityField::IMEI4:
      return ids.IMEI4;
    case IdentityField::BT:
      return ids.BT;
    case IdentityField::WIFI:
      return ids.WIFI;
    case IdentityField::SN1:
      return ids.SN1;
    case IdentityField::SN2:
      break;
  }
  return ids.SN2;
}

// The settings of IMEI slot 1..4.
int SlotEnabled(const config::StationSettings& s, int slot) {
  const int v[] = {s.IMEI1Enabled, s.IMEI2Enabled, s.IMEI3Enabled, s.IMEI4Enabled};
  return v[slot - 1];
}

int SlotMode(const config::StationSettings& s, int slot) {
  const int v[] = {s.IMEI1GenMode, s.IMEI2GenMode, s.IMEI3GenMode, s.IMEI4GenMode};
  return v[slot - 1];
}

// The length of a complete text of `field`.
int CompleteLength(const config::StationSettings& s, IdentityField field) {
  if (IsImei(field)) return kImeiLength;
  if (field == IdentityField::BT || field == IdentityField::WIFI) return kAddressLength;
  return s.SNLength;
}

// A format text padded on the right with "X" to 12 characters, as messages 170 and 171 show.
QString PaddedFormat(const QString& format) {
  QString padded = format;
  while (padded.size() < kAddressLength) padded += QLatin1Char('X');
  return padded;
}

}  // namespace

void StationController::FocusField(QWidget* widget) {
  widget->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->selectAll();
  }
}

// --- Prepare and clear ---

void StationController::PrepareNextIdentities() {
  TakeLineIdentities();
  const config::StationSettings& s = settings_;
  {
    std::lock_guard<std::mutex> lock(boundLock_);
    identity::IdentitySet& ids = bound_.identities;
    identity::PrepareImeis(s, ids, imeiBase_);
    if (s.BT_ADDR) {
      if (s.ManualAssignBTAddr) {
        ids.BT = identity::CurrentFileAddress(addressState_, identity::AddressKind::Bluetooth);
      } else if (s.AutoGenerateBT_ADDR) {
        ids.BT = s.AutoGenerateBTAddrType ? s.InitialAddrForBT : identity::TimeBluetoothAddress();
      }
    }
    if (s.WIFI_ADDR) {
      if (s.ManualAssignWIFIAddr) {
        ids.WIFI = identity::CurrentFileAddress(addressState_, identity::AddressKind::Wifi);
      } else if (s.AutoWIFI_ADDR) {
        ids.WIFI = s.AutoGenerateWifiMacType ? s.InitialAddrForWIFI
                                             : identity::RandomWifiAddress(s.ForeWIFI);
      }
    }
    if (s.WriteSN) identity::NextSerialNumbers(s, ids);
  }

  // Focus: the first field the operator fills, else the Write button, ready to go.
  // The serial-number rules apply only while serial numbers are written (their rows are
  // hidden otherwise).
  const bool sn1Typed = s.WriteSN && s.SN1Enabled && !s.AutoCreateSN1;
  const bool sn2Typed = s.WriteSN && s.SN2Enabled && !s.AutoCreateSN2;
  if (s.IMEI1Enabled && !s.AutoCreateIMEI) {
    FocusField(Edit(IdentityField::IMEI1));
  } else if (s.BT_ADDR && !s.AutoGenerateBT_ADDR) {
    FocusField(Edit(IdentityField::BT));
  } else if (s.WIFI_ADDR && !s.AutoWIFI_ADDR) {
    FocusField(Edit(IdentityField::WIFI));
  } else if (sn1Typed) {
    FocusField(Edit(IdentityField::SN1));
  } else if (!sn2Typed) {
    FocusField(controls_.write);
    readyToWrite_.store(true);
  } else {
    FocusField(Edit(IdentityField::SN2));
  }
  ShowCounters();
}

void StationController::ClearEnteredIdentities() {
  const config::StationSettings& s = settings_;
  {
    std::lock_guard<std::mutex> lock(boundLock_);
    identity::IdentitySet& ids = bound_.identities;
    if (!(s.IMEI1Enabled && s.IMEI1GenMode != 0)) ids.IMEI1.clear();
    for (int slot = 2; slot <= 4; ++slot) {
      if (!(SlotEnabled(s, slot) && SlotMode(s, slot) == identity::kImeiFromBase)) {
        ids.Imei(slot).clear();
      }
    }
    if (!(s.BT_ADDR && s.AutoGenerateBT_ADDR)) ids.BT.clear();
    if (!(s.WIFI_ADDR && s.AutoWIFI_ADDR)) ids.WIFI.clear();
    if (s.WriteSN) {
      if (!(s.SN1Enabled && s.AutoCreateSN1)) ids.SN1.clear();
      if (!(s.SN2Enabled && s.AutoCreateSN2)) ids.SN2.clear();
    }
  }
  PushBoundStrings();
}

// --- Field changes ---

bool StationController::NeedsInput(IdentityField field) const {
  const config::StationSettings& s = settings_;
  const qsizetype length = Text(bound_.identities, field).size();
  switch (field) {
    case IdentityField::IMEI1:
      return false;  // the chain never starts before IMEI2
    case IdentityField::IMEI2:
    case IdentityField::IMEI3:
    case IdentityField::IMEI4: {
      const int slot = static_cast<int>(field) + 1;
      return SlotEnabled(s, slot) && !s.UseSameIMEI && SlotMode(s, slot) == 0 &&
             length != kImeiLength;
    }
    case IdentityField::BT:
      return s.BT_ADDR && !s.AutoGenerateBT_ADDR && length != kAddressLength;
    case IdentityField::WIFI:
      return s.WIFI_ADDR && !s.AutoWIFI_ADDR && length != kAddressLength;
    case IdentityField::SN1:
      return s.WriteSN && s.SN1Enabled && !s.AutoCreateSN1 && length != s.SNLength;
    case IdentityField::SN2:
      return s.WriteSN && s.SN2Enabled && !s.AutoCreateSN2 && length != s.SNLength;
  }
  return false;
}

bool StationController::OperatorTypes(IdentityField field) const {
  const config::StationSettings& s = settings_;
  switch (field) {
    case IdentityField::IMEI1:
      return s.IMEI1Enabled && s.IMEI1GenMode == 0;
    case IdentityField::IMEI2:
    case IdentityField::IMEI3:
    case IdentityField::IMEI4: {
      const int slot = static_cast<int>(field) + 1;
      return SlotEnabled(s, slot) && SlotMode(s, slot) == 0 && !s.UseSameIMEI;
    }
    case IdentityField::BT:
      return s.BT_ADDR && !s.AutoGenerateBT_ADDR && !s.ManualAssignBTAddr;
    case IdentityField::WIFI:
      return s.WIFI_ADDR && !s.AutoWIFI_ADDR && !s.ManualAssignWIFIAddr;
    case IdentityField::SN1:
      return s.WriteSN && s.SN1Enabled && !s.AutoCreateSN1;
    case IdentityField::SN2:
      return s.WriteSN && s.SN2Enabled && !s.AutoCreateSN2;
  }
  return false;
}

void StationController::VoidEntryAfterPush(const identity::IdentitySet& shown, bool typedChanged) {
  // The window's own texts raise no change reaction, yet the entry the operator completed is
  // gone all the same (Setting -> Save empties a scanned IMEI1, or asks for a field that was
  // not asked for before): the scanner's next Enter must not start a write with it.
  bool incomplete = false;
  for (int i = 0; i < kIdentityFieldCount && !incomplete; ++i) {
    const auto field = static_cast<IdentityField>(i);
    incomplete =
        OperatorTypes(field) && Text(shown, field).size() != CompleteLength(settings_, field);
  }
  if (typedChanged || incomplete) readyToWrite_.store(false);
}

void StationController::RunCompletionChain(IdentityField changed) {
  for (int i = static_cast<int>(changed) + 1; i < kIdentityFieldCount; ++i) {
    const auto field = static_cast<IdentityField>(i);
    bool needs = false;
    {
      std::lock_guard<std::mutex> lock(boundLock_);
      needs = NeedsInput(field);
    }
    if (needs) {
      FocusField(Edit(field));
      return;
    }
  }
  readyToWrite_.store(true);
}

void StationController::OnIdentityFieldChanged(IdentityField field) {
  if (pushing_ > 0) return;  // texts put in by the window itself
  const config::StationSettings& s = settings_;
  QLineEdit* edit = Edit(field);
  const QString text = edit->text();

  if (field == IdentityField::SN1 || field == IdentityField::SN2) {
    TakeFieldTexts();
    readyToWrite_.store(false);
    const int length = std::max(s.SNLength, 0);
    if (text.size() > length) {
      edit->setText(text.left(length));  // raises its own change notification
      edit->setCursorPosition(length);
    }
    if (text.size() == length) {
      if (field == IdentityField::SN1) {
        bool sn2Needs = false;
        {
          std::lock_guard<std::mutex> lock(boundLock_);
          sn2Needs = NeedsInput(IdentityField::SN2);
        }
        if (sn2Needs) {
          FocusField(Edit(IdentityField::SN2));
        } else {
          readyToWrite_.store(true);
        }
      } else {
        readyToWrite_.store(true);
      }
    }
    PushBoundStrings();
    return;
  }

  readyToWrite_.store(false);
  const bool imei = IsImei(field);
  for (const QChar c : text) {
    if (imei ? !IsDecimal(c) : !IsHex(c)) {
      edit->clear();  // raises its own change notification, which finds an empty text
      return;
    }
  }
  TakeFieldTexts();
  const int complete = imei ? kImeiLength : kAddressLength;
  if (field == IdentityField::IMEI1 && text.size() == kImeiLength && s.UseSameIMEI &&
      !s.AutoCreateIMEI) {
    for (int slot = 2; slot <= 4; ++slot) {
      if (!SlotEnabled(s, slot)) continue;
      {
        std::lock_guard<std::mutex> lock(boundLock_);
        bound_.identities.Imei(slot) = ui::OwnCopy(text);
      }
      Edit(static_cast<IdentityField>(slot - 1))->setText(text);
    }
  }
  if (text.size() == complete) RunCompletionChain(field);
}

// --- Keys ---

bool StationController::OnKeyDown(int virtualKey) {
  bool ran = false;
  if (virtualKey == settings_.WriteKey && readyToWrite_.load() && controls_.write->isEnabled()) {
    OnWriteCommand();
    ran = true;
  }
  if (virtualKey == settings_.ReadKey && controls_.read->isEnabled()) {
    OnReadCommand();
    ran = true;
  }
  return ran;
}

// --- The pre-job identity check ---

bool StationController::CheckIdentitiesBeforeJob() {
  const config::StationSettings& s = settings_;
  TakeFieldTexts();
  const identity::IdentitySet ids = Identities();
  auto refuse = [this](const QString& message) {
    SetResultText(message);
    return false;
  };

  if (!s.IMEI1Enabled && !s.IMEI2Enabled && !s.BT_ADDR && !s.WIFI_ADDR && !s.SN1Enabled &&
      !s.SN2Enabled && !s.OperateCURef) {
    return refuse(resources::LoadString(121));
  }
  if (readJob_.load()) return true;

  // Two equal IMEIs come before any length check.
  if (!s.UseSameIMEI) {
    for (int i = 1; i <= 4; ++i) {
      for (int j = i + 1; j <= 4; ++j) {
        if (SlotEnabled(s, j) && ids.Imei(i) == ids.Imei(j)) {
          return refuse(resources::LoadString(164));
        }
      }
    }
  }
  for (int slot = 1; slot <= 4; ++slot) {
    if (SlotEnabled(s, slot) && ids.Imei(slot).size() != kImeiLength) {
      return refuse(resources::LoadString(116));
    }
  }
  if (s.BT_ADDR && ids.BT.size() != kAddressLength) return refuse(resources::LoadString(117));
  if (s.WriteSN) {
    if ((s.SN1Enabled && ids.SN1.size() != s.SNLength) ||
        (s.SN2Enabled && ids.SN2.size() != s.SNLength)) {
      return refuse(resources::LoadString(151));
    }
  }
  if (!identity::CheckWifiPrefix(s, ids.WIFI, *this)) return false;
  if (s.CheckValid) {
    for (int slot = 1; slot <= 4; ++slot) {
      if (SlotEnabled(s, slot) && SlotMode(s, slot) == 0 &&
          !identity::VerifyImeiCheckDigit(ids.Imei(slot))) {
        return refuse(resources::FormatString(118, {std::int64_t{slot}}));
      }
    }
  }
  if (s.CheckRepeat) {
    for (int slot = 1; slot <= 4; ++slot) {
      // A refusal leaves message 133 (used before) or 134 (store unreadable).
      if (SlotEnabled(s, slot) && !CheckImeiReuse(slot, ids.Imei(slot))) return false;
    }
  }
  if (s.WriteSN) {
    const QString* serials[] = {&ids.SN1, &ids.SN2};
    const int enabled[] = {s.SN1Enabled, s.SN2Enabled};
    for (int n = 0; n < 2; ++n) {
      if (!enabled[n]) continue;
      for (const QChar c : *serials[n]) {
        if (!IsLatinAlphanumeric(c)) {
          return refuse(resources::FormatString(158, {std::int64_t{n + 1}}));
        }
      }
    }
  }
  // The format checks look only at an address that is written.
  if (s.BT_ADDR && !s.AutoGenerateBT_ADDR && s.CheckBTValid && !s.BTAddrFormat.isEmpty() &&
      !ids.BT.contains(s.BTAddrFormat, Qt::CaseSensitive)) {
    return refuse(resources::FormatString(170, {PaddedFormat(s.BTAddrFormat)}));
  }
  if (s.WIFI_ADDR && !s.AutoWIFI_ADDR && s.CheckWIFIValid && !s.WIFIAddrFormat.isEmpty() &&
      !ids.WIFI.contains(s.WIFIAddrFormat, Qt::CaseSensitive)) {
    return refuse(resources::FormatString(171, {PaddedFormat(s.WIFIAddrFormat)}));
  }
  if (!identity::CheckAddressFilePositions(s, addressState_, *this)) return false;
  return true;
}

}  // namespace kestrel::station
