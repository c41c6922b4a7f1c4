// The Settings dialog's controls, top to bottom: the project row, the IMEI and address
// switches, the Bluetooth and Wi-Fi generation groups (their columns aligned with each
// other), the base IMEI with the result-store switch, the version rows, the serial-number
// row, the secure-boot row and the buttons.
#include "ui/fonts.h"
#include "ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

namespace kestrel::ui {
namespace {

namespace id = settings_ids;

QCheckBox* Check(const QString& text, int controlId, QWidget* parent) {
  return TagControl(new QCheckBox(text, parent), controlId);
}

QRadioButton* Radio(const QString& text, int controlId, QWidget* parent) {
  return TagControl(new QRadioButton(text, parent), controlId);
}

// An edit that holds at most `maxChars` characters; address edits are as wide as 12 digits.
QLineEdit* Edit(int controlId, int maxChars, QWidget* parent) {
  auto* e = TagControl(new QLineEdit(parent), controlId);
  e->setMaxLength(maxChars);
  e->setLayoutDirection(Qt::LeftToRight);
  return e;
}

QLineEdit* AddressEdit(int controlId, QWidget* parent) {
  QLineEdit* e = Edit(controlId, 12, parent);
  const QFontMetrics fm(e->font());
  e->setFixedWidth(fm.horizontalAdvance(QStringLiteral("DDDDDDDDDDDD")) + 16);
  return e;
}

// The IMEI generation lists hold Hebrew texts: they read right to left.
QComboBox* GenerationList(int controlId, QWidget* parent) {
  auto* list = TagControl(new QComboBox(parent), controlId);
  list->setLayoutDirection(Qt::RightToLeft);
  list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return list;
}

// Gives the columns of every grid the widest minimum any of them needs, so that grids in
// boxes of the same width line up.
void AlignColumns(std::initializer_list<QGridLayout*> grids, int columns) {
  for (int col = 0; col < columns; ++col) {
    int width = 0;
    for (QGridLayout* g : grids) {
      for (int row = 0; row < g->rowCount(); ++row) {
        QLayoutItem* item = g->itemAtPosition(row, col);
        if (item == nullptr || item->widget() == nullptr) continue;
        int r = 0;
        int c = 0;
        int rowSpan = 0;
        int colSpan = 0;
        g->getItemPosition(g->indexOf(item->widget()), &r, &c, &rowSpan, &colSpan);
        if (colSpan == 1) width = std::max(width, item->sizeHint().width());
      }
    }
    for (QGridLayout* g : grids) g->setColumnMinimumWidth(col, width);
  }
}

}  // namespace

QString SettingsDialog::AddressFileFilter() {
  return QStringLiteral("Text Files (*.txt *.ini)");
}

void SettingsDialog::BuildControls() {
  SettingsControls& c = c_;
  setWindowTitle(QStringLiteral("Setting"));
  setFont(DialogFont(QStringLiteral("Verdana"), 10));

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(12, 10, 12, 10);
  outer->setSpacing(6);

  // Project: the chip-platform switch with its variant, and the AP mode.
  auto* project = new FrameBox(QStringLiteral("Project"), this);
  auto* projectRow = new QHBoxLayout(project);
  c.quarl = Check(QStringLiteral("WG"), id::kQuarl, project);
  c.quarlVariant = TagControl(new QComboBox(project), id::kQuarlVariant);
  c.quarlVariant->addItems({QStringLiteral("W/G"), QStringLiteral("T/G")});
  c.quarlVariant->setMinimumWidth(120);
  c.quarlVariant->setEnabled(false);
  c.apMode = Check(QStringLiteral("AP Mode"), id::kApMode, project);
  projectRow->addWidget(c.quarl);
  projectRow->addSpacing(8);
  projectRow->addWidget(c.quarlVariant);
  projectRow->addSpacing(40);
  projectRow->addWidget(c.apMode);
  projectRow->addStretch(1);
  outer->addWidget(project);

  // Which identities are written: four columns under the IMEI boxes.
  auto* identities = new FrameBox(QString(), this);
  auto* grid = new QGridLayout(identities);
  grid->setHorizontalSpacing(12);
  grid->setVerticalSpacing(6);
  c.stagemark = Check(QStringLiteral("Stagemark"), id::kStagemark, identities);
  c.sameImei = Check(QStringLiteral("Same IMEI (IMEI1=IMEI2=IMEI3=IMEI4)"), id::kSameImei, identities);
  grid->addWidget(c.stagemark, 0, 0);
  grid->addWidget(c.sameImei, 0, 1, 1, 3);
  static constexpr int kImeiIds[4] = {id::kImei1, id::kImei2, id::kImei3, id::kImei4};
  for (int i = 0; i < 4; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    c.imei[slot] = Check(QStringLiteral("IMEI%1").arg(i + 1), kImeiIds[i], identities);
    c.genMode[slot] = GenerationList(id::kImei1List + i, identities);
    grid->addWidget(c.imei[slot], 1, i);
    grid->addWidget(c.genMode[slot], 2, i);
    grid->setColumnStretch(i, 1);
  }
  grid->setRowMinimumHeight(3, 6);
  c.bluetooth = Check(QStringLiteral("BlueTooth Mac Address"), id::kBluetooth, identities);
  c.generateBluetooth = Check(QStringLiteral("Generate Bluetooth Addr. Automatically"),
                              id::kGenerateBluetooth, identities);
  c.wifi = Check(QStringLiteral("WIFI Mac Address"), id::kWifi, identities);
  c.generateWifi =
      Check(QStringLiteral("Generate WIFI Mac Addr. Automatically"), id::kGenerateWifi, identities);
  grid->addWidget(c.bluetooth, 4, 0, 1, 2);
  grid->addWidget(c.generateBluetooth, 4, 2, 1, 2);
  grid->addWidget(c.wifi, 5, 0, 1, 2);
  grid->addWidget(c.generateWifi, 5, 2, 1, 2);
  outer->addWidget(identities);

  // The two generation groups: type radios, initial and end address, the address-file row.
  struct AddressGroup {
    FrameBox** group;
    QRadioButton** first;
    QRadioButton** second;
    QLineEdit** initial;
    QLineEdit** end;
    QLabel** manual;
    QLineEdit** path;
    QPushButton** browse;
    const char* title;
    const char* firstText;
    int ids[8];  // group, first, second, initial, end, manual label, path, browse
  };
  const AddressGroup groups[] = {
      {&c.btGroup, &c.btSystemTime, &c.btFromInitial, &c.btInitial, &c.btEnd, &c.btManualLabel,
       &c.btFilePath, &c.btBrowse, "Generate Bluetooth Mac Address. Automatically", "System Time",
       {id::kBtGroup, id::kBtSystemTime, id::kBtFromInitial, id::kBtInitialAddr, id::kBtEndAddr,
        id::kBtManualLabel, id::kBtFilePath, id::kBtBrowse}},
      {&c.wifiGroup, &c.wifiAutoGenerate, &c.wifiFromInitial, &c.wifiInitial, &c.wifiEnd,
       &c.wifiManualLabel, &c.wifiFilePath, &c.wifiBrowse,
       "Generate WIFI Mac Address. Automatically", "Auto-Generate",
       {id::kWifiGroup, id::kWifiAutoGenerate, id::kWifiFromInitial, id::kWifiInitialAddr,
        id::kWifiEndAddr, id::kWifiManualLabel, id::kWifiFilePath, id::kWifiBrowse}},
  };
  QGridLayout* addressGrids[2] = {};
  for (std::size_t g = 0; g < 2; ++g) {
    const AddressGroup& a = groups[g];
    auto* box = TagControl(new FrameBox(QString::fromLatin1(a.title), this), a.ids[0]);
    auto* rows = new QGridLayout(box);
    rows->setHorizontalSpacing(10);
    rows->setVerticalSpacing(6);
    *a.group = box;
    *a.first = Radio(QString::fromLatin1(a.firstText), a.ids[1], box);
    *a.second = Radio(QStringLiteral("Initial Addr."), a.ids[2], box);
    *a.initial = AddressEdit(a.ids[3], box);
    auto* endLabel = new QLabel(QStringLiteral("End Addr."), box);
    *a.end = AddressEdit(a.ids[4], box);
    *a.manual = TagControl(new QLabel(QStringLiteral("Manual Assign"), box), a.ids[5]);
    *a.path = Edit(a.ids[6], 519, box);
    *a.browse = TagControl(new QPushButton(QStringLiteral(".."), box), a.ids[7]);
    (*a.browse)->setAutoDefault(false);
    (*a.browse)->setFixedWidth(34);
    endLabel->setBuddy(*a.end);
    rows->addWidget(*a.first, 0, 0);
    rows->addWidget(*a.second, 0, 1);
    rows->addWidget(*a.initial, 0, 2);
    rows->addWidget(endLabel, 0, 3, Qt::AlignRight);
    rows->addWidget(*a.end, 0, 4);
    rows->setColumnStretch(5, 1);
    auto* fileRow = new QHBoxLayout;
    fileRow->setSpacing(4);
    fileRow->addWidget(*a.path, 1);
    fileRow->addWidget(*a.browse);
    rows->addWidget(*a.manual, 1, 0);
    rows->addLayout(fileRow, 1, 1, 1, 4);
    addressGrids[g] = rows;
    outer->addWidget(box);
  }
  AlignColumns({addressGrids[0], addressGrids[1]}, 5);

  // The base IMEI and the result store.
  auto* store = new FrameBox(QString(), this);
  auto* storeRows = new QVBoxLayout(store);
  storeRows->setSpacing(6);
  auto* baseLabel = new QLabel(
      QStringLiteral("Base IMEI Number\n(ONLY available when generating automatically)"), store);
  c.baseImei = Edit(id::kBaseImei, 14, store);
  baseLabel->setBuddy(c.baseImei);
  storeRows->addWidget(baseLabel);
  storeRows->addWidget(c.baseImei);
  auto* storeGrid = new QGridLayout;
  storeGrid->setHorizontalSpacing(12);
  c.checkValid = Check(QStringLiteral("IMEI CRC Check (The 15th digital)"), id::kCheckValid, store);
  c.saveImei = Check(QStringLiteral("Save IMEI"), id::kSaveImei, store);
  c.saveToTxt = Check(QStringLiteral("Save to IMEI.txt"), id::kSaveToTxt, store);
  c.checkRepeat = Check(QStringLiteral("Prevent the IMEI Reuse (Check from log file or mdb)"),
                        id::kCheckRepeat, store);
  c.saveToMdb = Check(QStringLiteral("Save to IMEI.mdb"), id::kSaveToMdb, store);
  storeGrid->addWidget(c.checkValid, 0, 0);
  storeGrid->addWidget(c.saveImei, 0, 1);
  storeGrid->addWidget(c.saveToTxt, 0, 2);
  storeGrid->addWidget(c.checkRepeat, 1, 0, 1, 2);
  storeGrid->addWidget(c.saveToMdb, 1, 2);
  storeGrid->setColumnStretch(0, 1);
  storeRows->addLayout(storeGrid);
  outer->addWidget(store);

  // The version rows.
  c.versionGroup = TagControl(new FrameBox(QString(), this), id::kVersionGroup);
  auto* versionRows = new QGridLayout(c.versionGroup);
  versionRows->setHorizontalSpacing(10);
  c.checkVersion = Check(QStringLiteral("CheckVersion"), id::kCheckVersion, c.versionGroup);
  c.version = Edit(id::kVersion, 256, c.versionGroup);
  c.checkApVersion = Check(QStringLiteral("CheckAPVersion"), id::kCheckApVersion, c.versionGroup);
  c.apVersion = Edit(id::kApVersion, 300, c.versionGroup);
  versionRows->addWidget(c.checkVersion, 0, 0);
  versionRows->addWidget(c.version, 0, 1);
  versionRows->addWidget(c.checkApVersion, 1, 0);
  versionRows->addWidget(c.apVersion, 1, 1);
  versionRows->setColumnStretch(1, 1);
  outer->addWidget(c.versionGroup);

  // The serial-number row.
  c.snGroup = TagControl(new FrameBox(QString(), this), id::kSnGroup);
  auto* snRow = new QGridLayout(c.snGroup);
  snRow->setHorizontalSpacing(10);
  c.sn1 = Check(QStringLiteral("SN1"), id::kSn1, c.snGroup);
  c.autoSn1 = Check(QStringLiteral("Generate SN1 Automatically"), id::kAutoSn1, c.snGroup);
  c.sn2 = Check(QStringLiteral("SN2"), id::kSn2, c.snGroup);
  c.autoSn2 = Check(QStringLiteral("Generate SN2 Automatially"), id::kAutoSn2, c.snGroup);
  snRow->addWidget(c.sn1, 0, 0);
  snRow->addWidget(c.autoSn1, 0, 1);
  snRow->addWidget(c.sn2, 0, 2);
  snRow->addWidget(c.autoSn2, 0, 3);
  snRow->setColumnStretch(1, 1);
  snRow->setColumnStretch(3, 1);
  outer->addWidget(c.snGroup);

  // Secure boot and power off.
  auto* secureRow = new QHBoxLayout;
  secureRow->setContentsMargins(6, 0, 0, 0);
  secureRow->setSpacing(18);
  c.secureBoot = Check(QStringLiteral("Secure Boot"), id::kSecureBoot, this);
  c.enableSecure = Check(QStringLiteral("Enable Secure"), id::kEnableSecure, this);
  c.powerOff = Check(QStringLiteral("Power off after writing"), id::kPowerOff, this);
  secureRow->addWidget(c.secureBoot);
  secureRow->addWidget(c.enableSecure);
  secureRow->addWidget(c.powerOff);
  secureRow->addStretch(1);
  outer->addLayout(secureRow);

  // Save and Cancel, and the read-back comparison beside them.
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  c.save = TagControl(new QPushButton(QStringLiteral("Save"), this), id::kSave);
  c.cancel = TagControl(new QPushButton(QStringLiteral("Cancel"), this), id::kCancel);
  c.save->setDefault(true);
  c.cancel->setAutoDefault(false);
  c.checkImeiAfterRead =
      Check(QStringLiteral("Check IMEI After Read"), id::kCheckImeiAfterRead, this);
  buttons->addWidget(c.save);
  buttons->addWidget(c.cancel);
  buttons->addStretch(1);
  buttons->addWidget(c.checkImeiAfterRead);
  outer->addLayout(buttons);
}

}  // namespace kestrel::ui
