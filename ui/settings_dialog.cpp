// The Settings dialog's behaviour: opening on the record, the reactions to the operator's
// clicks and keys, and Save.
#include "ui/settings_dialog.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "ui/fonts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <cstdint>

namespace kestrel::ui {
namespace {

bool On(int value) { return value != 0; }
int Flag(const QAbstractButton* box) { return box->isChecked() ? 1 : 0; }

void Enable(std::initializer_list<QWidget*> widgets, bool on) {
  for (QWidget* w : widgets) w->setEnabled(on);
}

void DisableAndUntick(QCheckBox* box) {
  box->setEnabled(false);
  box->setChecked(false);
}

bool AllDigits(const QString& text) {
  for (const QChar ch : text) {
    if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) return false;
  }
  return true;
}

// The keys an initial-address field takes: hexadecimal digits and backspace.
bool IsHexOrBackspace(QChar ch) {
  return (ch >= QLatin1Char('0') && ch <= QLatin1Char('9')) ||
         (ch >= QLatin1Char('a') && ch <= QLatin1Char('f')) ||
         (ch >= QLatin1Char('A') && ch <= QLatin1Char('F')) || ch == QLatin1Char('\b');
}

// The selected index of a list, or `current` when the list shows no entry (a value from the
// file that the list does not have stays as it was).
int SelectedOr(const QComboBox* list, int current) {
  return list->currentIndex() >= 0 ? list->currentIndex() : current;
}

}  // namespace

SettingsDialog::SettingsDialog(config::StationSettings* settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  BuildControls();
  ConnectReactions();
  c_.btInitial->installEventFilter(this);
  c_.wifiInitial->installEventFilter(this);
}

void SettingsDialog::setVisible(bool visible) {
  if (visible && !opened_) {
    opened_ = true;
    Open();
  }
  QDialog::setVisible(visible);
}

void SettingsDialog::ConnectReactions() {
  SettingsControls& c = c_;
  connect(c.imei[0], &QCheckBox::clicked, this, [this] { OnImei1Clicked(); });
  for (int slot = 2; slot <= 4; ++slot) {
    connect(c.imei[static_cast<std::size_t>(slot - 1)], &QCheckBox::clicked, this,
            [this, slot] { OnImei234Clicked(slot); });
  }
  connect(c.sameImei, &QCheckBox::clicked, this, [this] { OnSameImeiClicked(); });
  connect(c.bluetooth, &QCheckBox::clicked, this, [this] { OnBluetoothClicked(); });
  connect(c.wifi, &QCheckBox::clicked, this, [this] { OnWifiClicked(); });
  connect(c.generateBluetooth, &QCheckBox::clicked, this, [this] { OnGenerateBluetoothClicked(); });
  connect(c.generateWifi, &QCheckBox::clicked, this, [this] { OnGenerateWifiClicked(); });
  connect(c.btSystemTime, &QRadioButton::clicked, this,
          [this] { Enable({c_.btInitial, c_.btEnd}, false); });
  connect(c.btFromInitial, &QRadioButton::clicked, this,
          [this] { Enable({c_.btInitial, c_.btEnd}, true); });
  connect(c.wifiAutoGenerate, &QRadioButton::clicked, this,
          [this] { Enable({c_.wifiInitial, c_.wifiEnd}, false); });
  connect(c.wifiFromInitial, &QRadioButton::clicked, this,
          [this] { Enable({c_.wifiInitial, c_.wifiEnd}, true); });
  connect(c.btBrowse, &QPushButton::clicked, this, [this] { OnBrowse(c_.btFilePath); });
  connect(c.wifiBrowse, &QPushButton::clicked, this, [this] { OnBrowse(c_.wifiFilePath); });
  connect(c.baseImei, &QLineEdit::textChanged, this,
          [this](const QString& text) { OnBaseImeiChanged(text); });
  connect(c.saveImei, &QCheckBox::clicked, this, [this] { OnSaveImeiClicked(); });
  connect(c.saveToTxt, &QCheckBox::clicked, this, [this] { OnSaveToTxtClicked(); });
  connect(c.saveToMdb, &QCheckBox::clicked, this, [this] { OnSaveToMdbClicked(); });
  connect(c.checkVersion, &QCheckBox::clicked, this, [this] { OnCheckVersionClicked(); });
  connect(c.checkApVersion, &QCheckBox::clicked, this,
          [this] { c_.apVersion->setEnabled(c_.checkApVersion->isChecked()); });
  connect(c.sn1, &QCheckBox::clicked, this, [this] {
    if (c_.sn1->isChecked()) c_.autoSn1->setEnabled(true); else DisableAndUntick(c_.autoSn1);
  });
  connect(c.sn2, &QCheckBox::clicked, this, [this] {
    if (c_.sn2->isChecked()) c_.autoSn2->setEnabled(true); else DisableAndUntick(c_.autoSn2);
  });
  connect(c.secureBoot, &QCheckBox::clicked, this,
          [this] { c_.enableSecure->setEnabled(c_.secureBoot->isChecked()); });
  // The W/G - T/G list follows the WG box only when the dialog opens.
  connect(c.save, &QPushButton::clicked, this, [this] { Save(); });
  connect(c.cancel, &QPushButton::clicked, this, [this] { reject(); });
}

// --- Opening ---

void SettingsDialog::Open() {
  if (settings_ == nullptr) return;
  config::StationSettings& s = *settings_;
  SettingsControls& c = c_;

  // 2. Fonts; the base IMEI.
  c.baseImei->setFont(FaceFont(QStringLiteral("Arial"), 30, 700));
  const QFont buttonFont = FaceFont(QStringLiteral("Century Gothic"), 25, 700);
  for (QPushButton* b : {c.save, c.cancel}) {
    b->setFont(buttonFont);
    b->setMinimumWidth(150);
  }
  c.baseImei->setText(s.DefaultIMEI);

  // 3., 4. The IMEI boxes and their generation lists.
  const int enabled[4] = {s.IMEI1Enabled, s.IMEI2Enabled, s.IMEI3Enabled, s.IMEI4Enabled};
  for (std::size_t i = 0; i < 4; ++i) c.imei[i]->setChecked(On(enabled[i]));
  for (std::size_t i = 0; i < 4; ++i) {
    QComboBox* list = c.genMode[i];
    list->clear();
    list->addItem(resources::LoadString(160));
    list->addItem(resources::LoadString(161));
    if (i > 0) list->addItem(resources::LoadString(162));
  }
  if (s.IMEI1GenMode == 2) s.IMEI1GenMode = 1;
  const int modes[4] = {s.IMEI1GenMode, s.IMEI2GenMode, s.IMEI3GenMode, s.IMEI4GenMode};
  for (std::size_t i = 0; i < 4; ++i) {
    const int mode = modes[i];
    c.genMode[i]->setCurrentIndex(mode >= 0 && mode < c.genMode[i]->count() ? mode : -1);
  }

  // 5. Same IMEI keeps the lists of IMEI2-IMEI4 shut.
  if (On(s.UseSameIMEI)) {
    Enable({c.genMode[1], c.genMode[2], c.genMode[3]}, false);
  } else {
    ApplyListRule();
  }

  // 6., 7.
  c.sameImei->setChecked(On(s.UseSameIMEI));
  c.bluetooth->setChecked(On(s.BT_ADDR));
  c.wifi->setChecked(On(s.WIFI_ADDR));
  c.stagemark->setChecked(On(s.Stagemark));
  if (On(s.BT_ADDR)) c.generateBluetooth->setChecked(On(s.AutoGenerateBT_ADDR));
  else c.generateBluetooth->setEnabled(false);
  if (On(s.WIFI_ADDR)) c.generateWifi->setChecked(On(s.AutoWIFI_ADDR));
  else c.generateWifi->setEnabled(false);

  // 8., 9., 10.
  if (!On(s.IMEI1Enabled)) Enable({c.imei[1], c.imei[2], c.imei[3], c.sameImei}, false);
  if (!On(s.IMEI2Enabled) && !On(s.IMEI3Enabled) && !On(s.IMEI4Enabled)) c.sameImei->setEnabled(false);
  if (!On(s.AutoCreateIMEI)) c.baseImei->setEnabled(false);
  if (!On(s.TavixNew)) {
    DisableAndUntick(c.stagemark);
    s.Stagemark = 0;
  }

  // 11. The result store: none, or exactly one of the text file and the database.
  c.saveImei->setChecked(On(s.SaveIMEI));
  if (!On(s.SaveIMEI)) Enable({c.saveToTxt, c.saveToMdb}, false);
  if (c.saveImei->isChecked() && On(s.SaveToTxt)) {
    c.saveToTxt->setChecked(true);
    c.saveToMdb->setEnabled(false);
  } else if (On(s.SaveIMEI)) {
    c.saveToMdb->setChecked(true);
    c.saveToTxt->setEnabled(false);
  }

  // 12., 13., 14.
  c.checkValid->setChecked(On(s.CheckValid));
  c.checkRepeat->setChecked(On(s.CheckRepeat));
  if (On(s.CheckVer)) {
    c.checkVersion->setChecked(true);
    c.version->setText(s.Version);
  } else {
    c.version->setEnabled(false);
  }
  c.btInitial->setText(s.InitialAddrForBT);
  c.wifiInitial->setText(s.InitialAddrForWIFI);
  c.btEnd->setText(s.EndAddrForBT);
  c.wifiEnd->setText(s.EndAddrForWIFI);

  // 15., 16. The generation groups. A nonzero type is the initial-address type.
  const bool btGenerated = On(s.BT_ADDR) && On(s.AutoGenerateBT_ADDR);
  c.btGroup->SetFrameEnabled(btGenerated);
  Enable({c.btSystemTime, c.btFromInitial}, btGenerated);
  (On(s.AutoGenerateBTAddrType) ? c.btFromInitial : c.btSystemTime)->setChecked(true);
  Enable({c.btInitial, c.btEnd}, btGenerated && c.btFromInitial->isChecked());
  const bool wifiGenerated = On(s.WIFI_ADDR) && On(s.AutoWIFI_ADDR);
  c.wifiGroup->SetFrameEnabled(wifiGenerated);
  Enable({c.wifiAutoGenerate, c.wifiFromInitial}, wifiGenerated);
  (On(s.AutoGenerateWifiMacType) ? c.wifiFromInitial : c.wifiAutoGenerate)->setChecked(true);
  Enable({c.wifiInitial, c.wifiEnd}, wifiGenerated && c.wifiFromInitial->isChecked());

  // 17. Serial numbers.
  if (On(s.WriteSN)) {
    c.sn1->setChecked(On(s.SN1Enabled));
    if (On(s.SN1Enabled)) c.autoSn1->setChecked(On(s.AutoCreateSN1));
    else DisableAndUntick(c.autoSn1);
    c.sn2->setChecked(On(s.SN2Enabled));
    if (On(s.SN2Enabled)) c.autoSn2->setChecked(On(s.AutoCreateSN2));
    else DisableAndUntick(c.autoSn2);
  }

  // 18., 19.
  c.checkImeiAfterRead->setChecked(On(s.CheckIMEIAfterRead));
  c.btFilePath->setText(s.BTAddrFilePath);
  c.wifiFilePath->setText(s.WIFIAddrFilePath);

  // 20., 21. Addresses from an address file: the file row instead of the generation.
  const bool btManual = On(s.ManualAssignBTAddr) && On(s.BT_ADDR);
  Enable({c.btManualLabel, c.btFilePath, c.btBrowse}, btManual);
  if (btManual) {
    Enable({c.btSystemTime, c.btFromInitial, c.btInitial, c.btEnd, c.generateBluetooth}, false);
  }
  const bool wifiManual = On(s.ManualAssignWIFIAddr) && On(s.WIFI_ADDR);
  Enable({c.wifiManualLabel, c.wifiFilePath, c.wifiBrowse}, wifiManual);
  if (wifiManual) {
    Enable({c.wifiAutoGenerate, c.wifiFromInitial, c.wifiInitial, c.wifiEnd, c.generateWifi},
           false);
  }

  // 22., 23., 24.
  c.checkApVersion->setChecked(On(s.CheckAPVersion));
  c.apVersion->setEnabled(On(s.CheckAPVersion));
  c.apVersion->setText(s.APVersion);
  c.quarl->setChecked(On(s.Quarl));
  c.quarlVariant->setCurrentIndex(s.QuarlVariant == 1 ? 1 : 0);
  c.quarlVariant->setEnabled(c.quarl->isChecked());
  c.enableSecure->setEnabled(false);
  c.secureBoot->setChecked(On(s.SecureBoot));
  if (On(s.SecureBoot)) c.enableSecure->setEnabled(true);
  c.enableSecure->setChecked(On(s.EnableSecure));
  c.powerOff->setChecked(On(s.PowerOff));
  c.apMode->setChecked(On(s.APMode));

  if (!On(s.WriteSN)) CollapseSerialNumberRow();
}

void SettingsDialog::CollapseSerialNumberRow() {
  // Laid out with every row in place, the serial-number row takes the distance from its top
  // to the top of the row below it. Without it the rows below (secure boot, the buttons) move
  // up by that distance and the dialog loses it in height, at the top-left of the screen.
  layout()->activate();
  adjustSize();
  layout()->activate();
  const QRect row = c_.snGroup->geometry();
  const int d = c_.secureBoot->mapTo(this, QPoint(0, 0)).y() - row.top();
  for (QWidget* w : {static_cast<QWidget*>(c_.snGroup), static_cast<QWidget*>(c_.sn1),
                     static_cast<QWidget*>(c_.autoSn1), static_cast<QWidget*>(c_.sn2),
                     static_cast<QWidget*>(c_.autoSn2)}) {
    w->hide();
  }
  const QSize before = size();
  layout()->activate();
  resize(before.width(), std::max(before.height() - d, minimumSizeHint().height()));
  QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr;
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  move(screen != nullptr ? screen->availableGeometry().topLeft() : QPoint(0, 0));
}

// --- Reactions ---

void SettingsDialog::ApplyListRule() {
  for (std::size_t i = 0; i < 4; ++i) c_.genMode[i]->setEnabled(c_.imei[i]->isChecked());
}

void SettingsDialog::OnImei1Clicked() {
  SettingsControls& c = c_;
  if (c.imei[0]->isChecked()) {
    Enable({c.imei[1], c.imei[2], c.imei[3]}, true);
  } else {
    for (QCheckBox* box : {c.imei[1], c.imei[2], c.imei[3], c.sameImei}) DisableAndUntick(box);
  }
  ApplyListRule();
}

void SettingsDialog::OnImei234Clicked(int slot) {
  SettingsControls& c = c_;
  if (c.imei[static_cast<std::size_t>(slot - 1)]->isChecked()) {
    c.sameImei->setEnabled(true);
  } else {
    bool otherTicked = false;
    for (int other = 2; other <= 4; ++other) {
      if (other != slot && c.imei[static_cast<std::size_t>(other - 1)]->isChecked()) {
        otherTicked = true;
      }
    }
    if (!otherTicked) DisableAndUntick(c.sameImei);
  }
  ApplyListRule();
}

void SettingsDialog::OnSameImeiClicked() {
  if (c_.sameImei->isChecked()) {
    Enable({c_.genMode[1], c_.genMode[2], c_.genMode[3]}, false);
  } else {
    ApplyListRule();
  }
}

void SettingsDialog::OnBluetoothClicked() {
  SettingsControls& c = c_;
  const bool ticked = c.bluetooth->isChecked();
  if (settings_ != nullptr && On(settings_->ManualAssignBTAddr)) {
    Enable({c.btManualLabel, c.btFilePath, c.btBrowse}, ticked);
    return;
  }
  if (ticked) c.generateBluetooth->setEnabled(true);
  else DisableAndUntick(c.generateBluetooth);
  OnGenerateBluetoothClicked();
}

void SettingsDialog::OnWifiClicked() {
  SettingsControls& c = c_;
  const bool ticked = c.wifi->isChecked();
  if (settings_ != nullptr && On(settings_->ManualAssignWIFIAddr)) {
    Enable({c.wifiManualLabel, c.wifiFilePath, c.wifiBrowse}, ticked);
    return;
  }
  if (ticked) c.generateWifi->setEnabled(true);
  else DisableAndUntick(c.generateWifi);
  OnGenerateWifiClicked();
}

void SettingsDialog::OnGenerateBluetoothClicked() {
  SettingsControls& c = c_;
  const bool on = c.generateBluetooth->isChecked();
  c.btGroup->SetFrameEnabled(on);
  Enable({c.btSystemTime, c.btFromInitial}, on);
  Enable({c.btInitial, c.btEnd}, on && c.btFromInitial->isChecked());
}

void SettingsDialog::OnGenerateWifiClicked() {
  SettingsControls& c = c_;
  const bool on = c.generateWifi->isChecked();
  c.wifiGroup->SetFrameEnabled(on);
  Enable({c.wifiAutoGenerate, c.wifiFromInitial}, on);
  Enable({c.wifiInitial, c.wifiEnd}, on && c.wifiFromInitial->isChecked());
}

void SettingsDialog::OnBaseImeiChanged(const QString& text) {
  // A base IMEI is digits only: anything else empties the whole field.
  if (!AllDigits(text)) c_.baseImei->clear();
}

void SettingsDialog::OnSaveImeiClicked() {
  SettingsControls& c = c_;
  if (c.saveImei->isChecked()) {
    c.saveToTxt->setEnabled(true);
    c.saveToTxt->setChecked(true);
    DisableAndUntick(c.saveToMdb);
  } else {
    DisableAndUntick(c.saveToTxt);
    DisableAndUntick(c.saveToMdb);
  }
}

void SettingsDialog::OnSaveToTxtClicked() {
  SettingsControls& c = c_;
  if (!c.saveToTxt->isChecked()) {
    c.saveToMdb->setEnabled(true);
    c.saveToMdb->setChecked(true);
    c.saveToTxt->setEnabled(false);
  } else {
    c.saveToMdb->setEnabled(false);
  }
}

void SettingsDialog::OnSaveToMdbClicked() {
  SettingsControls& c = c_;
  if (!c.saveToMdb->isChecked()) {
    c.saveToTxt->setEnabled(true);
    c.saveToTxt->setChecked(true);
    c.saveToMdb->setEnabled(false);
  } else {
    c.saveToTxt->setEnabled(false);
  }
}

void SettingsDialog::OnCheckVersionClicked() {
  if (c_.checkVersion->isChecked()) {
    c_.version->setEnabled(true);
    c_.version->setText(settings_ != nullptr ? settings_->Version : QString());
  } else {
    c_.version->setEnabled(false);
    c_.version->clear();
  }
}

void SettingsDialog::OnBrowse(QLineEdit* target) {
  QFileDialog picker(this);
  picker.setAcceptMode(QFileDialog::AcceptOpen);
  picker.setFileMode(QFileDialog::ExistingFile);
  picker.setNameFilter(AddressFileFilter());
  if (picker.exec() != QDialog::Accepted) return;
  const QStringList chosen = picker.selectedFiles();
  if (!chosen.isEmpty()) target->setText(QDir::toNativeSeparators(chosen.first()));
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
  // The initial-address fields take hexadecimal digits and backspace; other characters are
  // dropped before the field sees them. Keys that type nothing (arrows, Delete) and the
  // editing shortcuts (Ctrl+A, Ctrl+C, ...) pass.
  if (event->type() == QEvent::KeyPress && (watched == c_.btInitial || watched == c_.wifiInitial)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const QString text = key->text();
    const bool shortcut = (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) != 0;
    if (!text.isEmpty() && !shortcut && key->key() != Qt::Key_Delete) {
      for (const QChar ch : text) {
        if (!IsHexOrBackspace(ch)) return true;
      }
    }
  }
  return QDialog::eventFilter(watched, event);
}

// --- Save ---

QString SettingsDialog::FirstRefusal() const {
  const config::StationSettings& s = *settings_;
  const QString base = c_.baseImei->text();
  if (On(s.AutoCreateIMEI)) {
    if (base.size() != 14) return settings_messages::kBaseImeiLength;
    if (!AllDigits(base)) return settings_messages::kBaseImeiDigits;
  }
  if (c_.checkVersion->isChecked()) {
    const QString version = c_.version->text().trimmed();
    if (version.isEmpty()) return settings_messages::kVersionMissing;
    if (version.size() <= s.VerLengthLowerLimit) {
      return resources::FormatString(163, {std::int64_t{s.VerLengthLowerLimit}});
    }
  }
  if (c_.checkApVersion->isChecked() && c_.apVersion->text().size() <= 5) {
    return settings_messages::kApVersionShort;
  }
  return {};
}

void SettingsDialog::Save() {
  if (settings_ == nullptr) return;
  // Every check runs before anything is stored: a refused Save leaves the record untouched.
  const QString refusal = FirstRefusal();
  if (!refusal.isEmpty()) {
    Present(refusal);
    return;
  }
  config::StationSettings& s = *settings_;
  const SettingsControls& c = c_;

  s.IMEI1Enabled = Flag(c.imei[0]);
  s.IMEI2Enabled = Flag(c.imei[1]);
  s.IMEI3Enabled = Flag(c.imei[2]);
  s.IMEI4Enabled = Flag(c.imei[3]);
  s.UseSameIMEI = Flag(c.sameImei);
  if (On(s.IMEI1Enabled)) s.IMEI1GenMode = SelectedOr(c.genMode[0], s.IMEI1GenMode);
  if (!On(s.UseSameIMEI)) {
    if (On(s.IMEI2Enabled)) s.IMEI2GenMode = SelectedOr(c.genMode[1], s.IMEI2GenMode);
    if (On(s.IMEI3Enabled)) s.IMEI3GenMode = SelectedOr(c.genMode[2], s.IMEI3GenMode);
    if (On(s.IMEI4Enabled)) s.IMEI4GenMode = SelectedOr(c.genMode[3], s.IMEI4GenMode);
  }

  s.BT_ADDR = Flag(c.bluetooth);
  s.AutoGenerateBT_ADDR = Flag(c.generateBluetooth);
  s.AutoGenerateBTAddrType = c.btFromInitial->isChecked() ? 1 : 0;
  s.WIFI_ADDR = Flag(c.wifi);
  s.AutoWIFI_ADDR = Flag(c.generateWifi);
  s.AutoGenerateWifiMacType = c.wifiFromInitial->isChecked() ? 1 : 0;

  s.Stagemark = Flag(c.stagemark);
  s.CheckValid = Flag(c.checkValid);
  s.CheckRepeat = Flag(c.checkRepeat);
  s.DefaultIMEI = c.baseImei->text();
  s.SaveIMEI = Flag(c.saveImei);
  s.SaveToTxt = Flag(c.saveToTxt);
  s.CheckVer = Flag(c.checkVersion);
  s.Version = c.version->text().trimmed();

  s.InitialAddrForBT = c.btInitial->text().toLower();
  s.InitialAddrForWIFI = c.wifiInitial->text().toLower();
  s.EndAddrForBT = c.btEnd->text().toLower();
  s.EndAddrForWIFI = c.wifiEnd->text().toLower();

  if (On(s.WriteSN)) {
    s.SN1Enabled = Flag(c.sn1);
    s.AutoCreateSN1 = On(s.SN1Enabled) ? Flag(c.autoSn1) : 0;
    s.SN2Enabled = Flag(c.sn2);
    s.AutoCreateSN2 = On(s.SN2Enabled) ? Flag(c.autoSn2) : 0;
  }
  s.BTAddrFilePath = c.btFilePath->text();
  s.WIFIAddrFilePath = c.wifiFilePath->text();
  s.Quarl = Flag(c.quarl);
  s.QuarlVariant = SelectedOr(c.quarlVariant, s.QuarlVariant);
  s.CheckAPVersion = Flag(c.checkApVersion);
  if (On(s.CheckAPVersion)) s.APVersion = c.apVersion->text();
  s.SecureBoot = Flag(c.secureBoot);
  s.EnableSecure = Flag(c.enableSecure);
  s.PowerOff = Flag(c.powerOff);
  s.APMode = Flag(c.apMode);
  s.CheckIMEIAfterRead = Flag(c.checkImeiAfterRead);
  accept();
}

void SettingsDialog::Present(const QString& text) {
  if (present_) {
    present_(text);
  } else {
    ShowPlainMessage(this, text);
  }
}

}  // namespace kestrel::ui
