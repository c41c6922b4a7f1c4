// The display operations of the station window and its bound texts. Every operation here may
// be called from a job thread: widget work is handed to the window's thread.
#include "records/result_store.h"
#include "station/control_ids.h"
#include "station/station_controller.h"
#include "ui/colour_label.h"
#include "ui/thread_handoff.h"

#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <memory>

namespace kestrel::station {
namespace {

ui::ColourRef Colour(const int (&rgb)[3]) {
  return ui::Rgb(rgb[0], rgb[1], rgb[2]);
}

// Sets a control's text only when it differs, so that an unchanged field keeps its caret and
// selection and raises no change notification.
void PutText(QLineEdit* edit, const QString& text) {
  if (edit->text() != text) edit->setText(text);
}

// Whether the message (the first line) holds right-to-left letters. A Hebrew message may
// start with a Latin word ("IMEI1  כבר היה בשימוש"); it still reads from the right.
bool ReadsRightToLeft(const QString& text) {
  for (const QChar c : QStringView(text).left(text.indexOf(QLatin1Char('\n')))) {
    const QChar::Direction d = c.direction();
    if (d == QChar::DirR || d == QChar::DirAL) return true;
  }
  return false;
}

// Hebrew texts are laid out right to left.
void PutLabelText(QLabel* label, const QString& text) {
  label->setLayoutDirection(ReadsRightToLeft(text) ? Qt::RightToLeft : Qt::LeftToRight);
  if (label->text() != text) label->setText(text);
}

// The 255-character limit of a composed result text, never splitting a surrogate pair.
ui::ColourRef StateColour(ResultState state) {
  switch (state) {
    case ResultState::Busy:
      return Colour(colours::kBusy);
    case ResultState::Pass:
      return Colour(colours::kPass);
    case ResultState::Fail:
      return Colour(colours::kFail);
    case ResultState::Idle:
      break;
  }
  return Colour(colours::kIdle);
}

QString CutResult(QString text) {
  if (text.size() <= kMaxResultChars) return text;
  text.truncate(kMaxResultChars);
  if (text.back().isHighSurrogate()) text.chop(1);
  return text;
}

}  // namespace

QLineEdit* StationController::Edit(IdentityField field) const {
  return controls_.identity[static_cast<std::size_t>(field)];
}

// --- Bound texts ---

identity::IdentitySet StationController::Identities() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  return bound_.identities;
}

void StationController::SetIdentities(const identity::IdentitySet& identities) {
  std::lock_guard<std::mutex> lock(boundLock_);
  bound_.identities = identities;
}

BoundTexts StationController::Bound() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  return bound_;
}

void StationController::SetResultText(const QString& text) {
  std::lock_guard<std::mutex> lock(boundLock_);
  bound_.resultText = text;
}

QString StationController::ResultText() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  return bound_.resultText;
}

void StationController::TakeFieldTexts() {
  std::lock_guard<std::mutex> lock(boundLock_);
  identity::IdentitySet& s = bound_.identities;
  QString* targets[kIdentityFieldCount] = {&s.IMEI1, &s.IMEI2, &s.IMEI3, &s.IMEI4,
                                           &s.BT,    &s.WIFI,  &s.SN1,   &s.SN2};
  for (int i = 0; i < kIdentityFieldCount; ++i) {
    *targets[i] = ui::OwnCopy(controls_.identity[static_cast<std::size_t>(i)]->text());
  }
}

void StationController::ApplyBoundTexts(const BoundTexts& t) {
  // Like the framework's data exchange, putting texts into the fields raises no change
  // handling of their own.
  ++pushing_;
  const QString* sources[kIdentityFieldCount] = {
      &t.identities.IMEI1, &t.identities.IMEI2, &t.identities.IMEI3, &t.identities.IMEI4,
      &t.identities.BT,    &t.identities.WIFI,  &t.identities.SN1,   &t.identities.SN2};
  bool changed = false;
  bool typedChanged = false;
  for (int i = 0; i < kIdentityFieldCount; ++i) {
    QLineEdit* edit = controls_.identity[static_cast<std::size_t>(i)];
    if (edit->text() == *sources[i]) continue;
    edit->setText(ui::OwnCopy(*sources[i]));  // the job's thread may hold the same text
    changed = true;
    typedChanged = typedChanged || OperatorTypes(static_cast<IdentityField>(i));
  }
  --pushing_;
  if (changed) VoidEntryAfterPush(t.identities, typedChanged);
  PutLabelText(controls_.result, t.resultText);
  PutLabelText(controls_.passCount, t.passText);
  PutLabelText(controls_.failCount, t.failText);
  PutLabelText(controls_.yield, t.yieldText);
  if (controls_.apVersion->toPlainText() != t.apVersion) {
    controls_.apVersion->setPlainText(t.apVersion);
  }
  for (std::size_t i = 0; i < t.uid.size(); ++i) PutText(controls_.uid[i], t.uid[i]);
  for (std::size_t i = 0; i < t.hash.size(); ++i) PutText(controls_.hash[i], t.hash[i]);
  for (std::size_t i = 0; i < t.cuRef.size(); ++i) PutText(controls_.cuRef[i], t.cuRef[i]);
}

void StationController::TakeJobFieldTexts() {
  std::lock_guard<std::mutex> lock(boundLock_);
  for (std::size_t i = 0; i < bound_.cuRef.size(); ++i) bound_.cuRef[i] = controls_.cuRef[i]->text();
  for (std::size_t i = 0; i < bound_.uid.size(); ++i) bound_.uid[i] = controls_.uid[i]->text();
  for (std::size_t i = 0; i < bound_.hash.size(); ++i) bound_.hash[i] = controls_.hash[i]->text();
}

QString StationController::ApVersionText() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  return bound_.apVersion;
}

void StationController::SetApVersionText(const QString& text) {
  std::lock_guard<std::mutex> lock(boundLock_);
  bound_.apVersion = text;
}

std::array<QString, kCuRefLength> StationController::CuRefTexts() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  return bound_.cuRef;
}

void StationController::SetCuRefTexts(const std::array<QString, kCuRefLength>& texts) {
  std::lock_guard<std::mutex> lock(boundLock_);
  bound_.cuRef = texts;
}

std::array<QString, kSecureBootItems> StationController::SecureBootTexts() const {
  std::lock_guard<std::mutex> lock(boundLock_);
  std::array<QString, kSecureBootItems> texts;
  std::copy(bound_.uid.begin(), bound_.uid.end(), texts.begin());
  std::copy(bound_.hash.begin(), bound_.hash.end(), texts.begin() + bound_.uid.size());
  return texts;
}

void StationController::SetSecureBootTexts(const std::array<QString, kSecureBootItems>& texts) {
  std::lock_guard<std::mutex> lock(boundLock_);
  std::copy(texts.begin(), texts.begin() + bound_.uid.size(), bound_.uid.begin());
  std::copy(texts.begin() + bound_.uid.size(), texts.end(), bound_.hash.begin());
}

void StationController::PushBoundStrings() {
  // The texts are taken when the window's thread gets to them, so a later change made
  // meanwhile is shown too.
  OnWindowThread([this] { ApplyBoundTexts(Bound()); });
}

// --- Result ---

void StationController::ShowResult(ResultState state) {
  QString text;
  {
    std::lock_guard<std::mutex> lock(boundLock_);
    if (state == ResultState::Pass || state == ResultState::Fail) {
      const identity::IdentitySet& ids = bound_.identities;
      const config::StationSettings& s = settings_;
      QString composed = bound_.resultText + QLatin1Char('\n');
      auto line = [&composed](const char* label, const QString& value) {
        composed += QLatin1String(label) + value + QLatin1Char('\n');
      };
      if (s.IMEI1Enabled) line("IMEI1:", ids.IMEI1);
      if (s.IMEI2Enabled) line("IMEI2:", ids.IMEI2);
      if (s.IMEI3Enabled) line("IMEI3:", ids.IMEI3);
      if (s.IMEI4Enabled) line("IMEI4:", ids.IMEI4);
      if (s.BT_ADDR) line("BT:", ids.BT);
      if (s.WIFI_ADDR) line("Wifi:", ids.WIFI);
      if (s.WriteSN) {
        if (s.SN1Enabled) line("SN1:", ids.SN1);
        if (s.SN2Enabled) line("SN2:", ids.SN2);
      }
      bound_.resultText = CutResult(composed);
    }
    text = bound_.resultText;
  }
  lastShownState_.store(static_cast<int>(state));
  OnWindowThread([this, text] { PutLabelText(controls_.result, text); });
  controls_.result->SetBackgroundColour(StateColour(state));
}

void StationController::ShowPlainResult(ResultState colour) {
  lastShownState_.store(static_cast<int>(colour));
  const QString text = ResultText();
  OnWindowThread([this, text] { PutLabelText(controls_.result, text); });
  controls_.result->SetBackgroundColour(StateColour(colour));
}

void StationController::ShowCounters() {
  const std::int64_t pass = passCount_.load();
  const std::int64_t fail = failCount_.load();
  const std::int64_t yield = pass + fail == 0 ? 0 : 100 * pass / (pass + fail);
  {
    std::lock_guard<std::mutex> lock(boundLock_);
    bound_.passText = resources::FormatString(135, {pass});
    bound_.failText = resources::FormatString(136, {fail});
    bound_.yieldText = resources::FormatString(137, {yield});
  }
  controls_.passCount->SetTextColour(Colour(colours::kPass));
  controls_.failCount->SetTextColour(Colour(colours::kFail));
  controls_.yield->SetTextColour(Colour(colours::kBusy));
  PushBoundStrings();
}

// --- Port state ---

void StationController::ShowPortState(bool present) {
  controls_.portIndicator->SetBackgroundColour(
      Colour(present ? colours::kPortPresent : colours::kPortAbsent));
  ShowStatusLine(settings_.OperationMode, present);
}

void StationController::ShowStatusLine(int mode, bool present) {
  // A left-to-right port text ends in a left-to-right mark, so that in the right-to-left line
  // its closing "!" stays at the end of its own phrase.
  QString port = resources::LoadString(present ? 155 : 156);
  if (!ReadsRightToLeft(port)) port += QChar(0x200E);
  QString text = resources::LoadString(mode != 0 ? 148 : 149) + QStringLiteral(", ") + port;
  if (resultStore_ && !resultStore_->LineNotice().isEmpty()) {
    text += QStringLiteral(" | ") + resultStore_->LineNotice();
  }
  OnWindowThread([this, text] { PutLabelText(controls_.statusLine, text); });
}

void StationController::StartPortWatch(bool on) {
  portWatchRunning_.store(on);
  if (on) {
    OnWindowThread([this] { portWatchTimer_.start(kPortWatchPeriodMs); });
    return;
  }
  OnWindowThread([this] { portWatchTimer_.stop(); });
  controls_.portIndicator->SetBackgroundColour(Colour(colours::kPortAbsent));
  ShowStatusLine(settings_.OperationMode, false);
  portPresent_.store(false);
}

// --- Inputs and focus ---

void StationController::EnableInputs(bool on) {
  OnWindowThread([this, on] {
    const config::StationSettings& s = settings_;
    const StationControls& c = controls_;
    c.write->setEnabled(on && addressState_.AddressConfigValid != 0);
    c.portList->setEnabled(on);
    c.setting->setEnabled(on && s.UserPrivilege != 0);
    c.mode->setEnabled(on);  // the Mode dialog changes the mode under a running job otherwise
    c.read->setEnabled(on && s.TavixNew != 0);
    Edit(IdentityField::IMEI1)->setEnabled(on && s.IMEI1Enabled && s.IMEI1GenMode == 0);
    const int enabled[] = {s.IMEI2Enabled, s.IMEI3Enabled, s.IMEI4Enabled};
    const int modes[] = {s.IMEI2GenMode, s.IMEI3GenMode, s.IMEI4GenMode};
    for (int i = 0; i < 3; ++i) {
      Edit(static_cast<IdentityField>(i + 1))
          ->setEnabled(on && enabled[i] && modes[i] == 0 && s.UseSameIMEI == 0);
    }
    Edit(IdentityField::BT)
        ->setEnabled(on && s.BT_ADDR && !s.AutoGenerateBT_ADDR && !s.ManualAssignBTAddr);
    Edit(IdentityField::WIFI)
        ->setEnabled(on && s.WIFI_ADDR && !s.AutoWIFI_ADDR && !s.ManualAssignWIFIAddr);
    if (s.WriteSN) {
      Edit(IdentityField::SN1)->setEnabled(on && s.SN1Enabled && !s.AutoCreateSN1);
      Edit(IdentityField::SN2)->setEnabled(on && s.SN2Enabled && !s.AutoCreateSN2);
    }
  });
}

void StationController::FocusFirstEntry() {
  OnWindowThread([this] {
    const config::StationSettings& s = settings_;
    QLineEdit* target = nullptr;
    const int enabled[] = {s.IMEI2Enabled, s.IMEI3Enabled, s.IMEI4Enabled};
    const int modes[] = {s.IMEI2GenMode, s.IMEI3GenMode, s.IMEI4GenMode};
    if (s.IMEI1Enabled && s.IMEI1GenMode == 0) {
      target = Edit(IdentityField::IMEI1);
    }
    for (int i = 0; target == nullptr && i < 3; ++i) {
      if (s.IMEI1Enabled && enabled[i] && modes[i] == 0) {
        target = Edit(static_cast<IdentityField>(i + 1));
      }
    }
    if (target == nullptr && s.BT_ADDR && !s.AutoGenerateBT_ADDR) {
      target = Edit(IdentityField::BT);
    }
    if (target == nullptr && s.WIFI_ADDR && !s.AutoWIFI_ADDR) {
      target = Edit(IdentityField::WIFI);
    }
    if (target == nullptr && s.WriteSN) {
      if (s.SN1Enabled && !s.AutoCreateSN1) {
        target = Edit(IdentityField::SN1);
      } else if (s.SN2Enabled && !s.AutoCreateSN2) {
        target = Edit(IdentityField::SN2);
      }
    }
    if (target != nullptr) FocusField(target);
  });
}

void StationController::EnableStop(bool on) {
  OnWindowThread([this, on] { controls_.stop->setEnabled(on); });
}

void StationController::EnablePortList(bool on) {
  OnWindowThread([this, on] { controls_.portList->setEnabled(on); });
}

void StationController::ShowSecureBootFields(bool on) {
  OnWindowThread([this, on] {
    controls_.uidLabel->setVisible(on);
    controls_.hashLabel->setVisible(on);
    for (QLineEdit* e : controls_.uid) {
      e->setVisible(on);
      e->setEnabled(on);
    }
    for (QLineEdit* e : controls_.hash) {
      e->setVisible(on);
      e->setEnabled(on);
    }
  });
}

// --- Message boxes ---

void StationController::ShowMessage(const QString& text) {
  auto show = [this, text] {
    if (presentMessage_) {
      presentMessage_(text);
      return;
    }
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.setLayoutDirection(ReadsRightToLeft(text) ? Qt::RightToLeft : Qt::LeftToRight);
    box.exec();
  };
  if (QThread::currentThread() == thread()) {
    show();
    return;
  }
  // A job thread waits until the operator has closed the box, or until the window goes
  // (which may be waiting for that very thread).
  if (closing_.IsSet()) return;
  auto closed = std::make_shared<device::ManualResetEvent>();
  handoff_->Post([show, closed] {
    show();
    closed->Set();
  });
  device::ManualResetEvent::WaitAny({closed.get(), &closing_}, -1);
}

}  // namespace kestrel::station
