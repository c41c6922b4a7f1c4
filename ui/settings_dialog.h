// SettingsDialog: the line engineer's editor of the station's switches (which identities are
// written and how they are made, where results go, which checks run). It works on the
// station's own settings record, never on a copy and never on the settings file: the station
// writes the record to Kestrel.ini when it closes.
//
// Opening (just before the dialog first shows) fills the controls from the record and makes
// two corrections to the record itself: IMEI1GenMode 2 becomes 1, and Stagemark becomes 0
// while TavixNew is off. Save checks the base IMEI, the expected version and the expected AP
// version first and stores nothing unless all three pass, so a refused Save followed by
// Cancel leaves the record as it was opened.
//
// The files of this class: settings_dialog_layout.cpp builds the controls,
// settings_dialog.cpp opens, reacts and saves.
#pragma once

#include "config/station_settings.h"
#include "ui/dialog_controls.h"

#include <QDialog>
#include <QString>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kestrel::ui {

// The ids of the Settings dialog's controls (property "controlId").
namespace settings_ids {
constexpr int kSave = 1;
constexpr int kCancel = 2;
constexpr int kImei1 = 1006;
constexpr int kStagemark = 1008;
constexpr int kImei2 = 1010;
constexpr int kBaseImei = 1012;
constexpr int kSameImei = 1021;
constexpr int kBluetooth = 1027;
constexpr int kGenerateBluetooth = 1028;
constexpr int kGenerateWifi = 1029;
constexpr int kSaveToTxt = 1037;
constexpr int kSaveToMdb = 1038;
constexpr int kSaveImei = 1039;
constexpr int kCheckRepeat = 1040;
constexpr int kCheckValid = 1041;
constexpr int kImei3 = 1042;
constexpr int kImei4 = 1043;
constexpr int kWifi = 1044;
constexpr int kCheckVersion = 1045;
constexpr int kVersion = 1046;
constexpr int kCheckApVersion = 1047;
constexpr int kApVersion = 1048;
constexpr int kSn1 = 1067;
constexpr int kSn2 = 1068;
constexpr int kBtInitialAddr = 1069;
constexpr int kAutoSn1 = 1070;
constexpr int kAutoSn2 = 1071;
constexpr int kWifiInitialAddr = 1072;
constexpr int kBtFilePath = 1073;
constexpr int kSnGroup = 1074;
constexpr int kVersionGroup = 1075;
constexpr int kBtSystemTime = 1076;
constexpr int kBtFromInitial = 1077;
constexpr int kBtGroup = 1078;
constexpr int kWifiGroup = 1079;
constexpr int kImei1List = 1080;  // 1080 ... 1083, one under each IMEI box
constexpr int kImei4List = 1083;
constexpr int kWifiAutoGenerate = 1084;
constexpr int kWifiFromInitial = 1085;
constexpr int kCheckImeiAfterRead = 1086;
constexpr int kBtBrowse = 1087;
constexpr int kWifiFilePath = 1088;
constexpr int kWifiBrowse = 1089;
constexpr int kBtManualLabel = 1090;
constexpr int kWifiManualLabel = 1091;
constexpr int kBtEndAddr = 1118;
constexpr int kWifiEndAddr = 1120;
constexpr int kQuarl = 1122;
constexpr int kQuarlVariant = 1123;
constexpr int kSecureBoot = 1124;
constexpr int kEnableSecure = 1133;
constexpr int kPowerOff = 1134;
constexpr int kApMode = 1135;
}  // namespace settings_ids

// The messages of a refused Save that are not taken from the string table.
namespace settings_messages {
inline const QString kBaseImeiLength = QStringLiteral("请输入14位起始IMEI");
inline const QString kBaseImeiDigits = QStringLiteral("IMEI必须为0~9数字");
inline const QString kVersionMissing =
    QStringLiteral("If check version\uFF0Cplease input checked version");
inline const QString kApVersionShort = QStringLiteral("Check AP Version设置的字符必须大于5个");
}  // namespace settings_messages

// The controls of the dialog.
struct SettingsControls {
  QCheckBox* quarl = nullptr;
  QComboBox* quarlVariant = nullptr;
  QCheckBox* apMode = nullptr;
  QCheckBox* stagemark = nullptr;
  QCheckBox* sameImei = nullptr;
  std::array<QCheckBox*, 4> imei{};
  std::array<QComboBox*, 4> genMode{};
  QCheckBox* bluetooth = nullptr;
  QCheckBox* generateBluetooth = nullptr;
  QCheckBox* wifi = nullptr;
  QCheckBox* generateWifi = nullptr;
  FrameBox* btGroup = nullptr;
  QRadioButton* btSystemTime = nullptr;
  QRadioButton* btFromInitial = nullptr;
  QLineEdit* btInitial = nullptr;
  QLineEdit* btEnd = nullptr;
  QLabel* btManualLabel = nullptr;
  QLineEdit* btFilePath = nullptr;
  QPushButton* btBrowse = nullptr;
  FrameBox* wifiGroup = nullptr;
  QRadioButton* wifiAutoGenerate = nullptr;
  QRadioButton* wifiFromInitial = nullptr;
  QLineEdit* wifiInitial = nullptr;
  QLineEdit* wifiEnd = nullptr;
  QLabel* wifiManualLabel = nullptr;
  QLineEdit* wifiFilePath = nullptr;
  QPushButton* wifiBrowse = nullptr;
  QLineEdit* baseImei = nullptr;
  QCheckBox* checkValid = nullptr;
  QCheckBox* saveImei = nullptr;
  QCheckBox* saveToTxt = nullptr;
  QCheckBox* saveToMdb = nullptr;
  QCheckBox* checkRepeat = nullptr;
  FrameBox* versionGroup = nullptr;
  QCheckBox* checkVersion = nullptr;
  QLineEdit* version = nullptr;
  QCheckBox* checkApVersion = nullptr;
  QLineEdit* apVersion = nullptr;
  FrameBox* snGroup = nullptr;
  QCheckBox* sn1 = nullptr;
  QCheckBox* autoSn1 = nullptr;
  QCheckBox* sn2 = nullptr;
  QCheckBox* autoSn2 = nullptr;
  QCheckBox* secureBoot = nullptr;
  QCheckBox* enableSecure = nullptr;
  QCheckBox* powerOff = nullptr;
  QCheckBox* checkImeiAfterRead = nullptr;
  QPushButton* save = nullptr;
  QPushButton* cancel = nullptr;
};

class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // `settings` is the station's record, edited in place; null opens an empty dialog whose
  // Save does nothing.
  explicit SettingsDialog(config::StationSettings* settings, QWidget* parent = nullptr);

  // Where the refusals of Save go (default: a plain message box over the dialog).
  void SetMessagePresenter(MessagePresenter presenter) { present_ = std::move(presenter); }

  // The control with the given id, or null.
  QWidget* Control(int id) const { return FindControl(this, id); }
  const SettingsControls& Controls() const { return c_; }

  // The filter of the address-file picker.
  static QString AddressFileFilter();

  // Opens the dialog on the record the first time it is shown.
  void setVisible(bool visible) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // settings_dialog_layout.cpp
  void BuildControls();
  // settings_dialog.cpp
  void ConnectReactions();
  void Open();
  void CollapseSerialNumberRow();
  void ApplyListRule();
  void OnImei1Clicked();
  void OnImei234Clicked(int slot);
  void OnSameImeiClicked();
  void OnBluetoothClicked();
  void OnWifiClicked();
  void OnGenerateBluetoothClicked();
  void OnGenerateWifiClicked();
  void OnBaseImeiChanged(const QString& text);
  void OnSaveImeiClicked();
  void OnSaveToTxtClicked();
  void OnSaveToMdbClicked();
  void OnCheckVersionClicked();
  void OnBrowse(QLineEdit* target);
  void Save();
  // The first refusal of the three checks of Save, or an empty text when all pass.
  QString FirstRefusal() const;
  void Present(const QString& text);

  config::StationSettings* settings_;
  SettingsControls c_;
  MessagePresenter present_;
  bool opened_ = false;
};

}  // namespace kestrel::ui
