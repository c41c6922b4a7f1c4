#include "ui/mode_dialog.h"

#include "resources/string_table.h"
#include "ui/fonts.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kestrel::ui {
namespace {

namespace id = mode_ids;

QLabel* Hint(int controlId, QWidget* parent) {
  auto* label = TagControl(new QLabel(parent), controlId);
  label->setWordWrap(true);
  return label;
}

}  // namespace

ModeSelectionDialog::ModeSelectionDialog(int* operationMode, int* disableAutoUsb, int* rebootDut,
                                         int* sendAtCmd, QWidget* parent)
    : QDialog(parent),
      operationMode_(operationMode),
      disableAutoUsb_(disableAutoUsb),
      rebootDut_(rebootDut),
      sendAtCmd_(sendAtCmd) {
  BuildControls();
}

void ModeSelectionDialog::BuildControls() {
  setWindowTitle(QStringLiteral("Mode Selection"));
  setFont(DialogFont(QStringLiteral("Courier New"), 10));

  normal_ = TagControl(new QRadioButton(QStringLiteral("Normal Mode"), this), id::kNormalMode);
  calibration_ =
      TagControl(new QRadioButton(QStringLiteral("Calibration Mode"), this), id::kCalibrationMode);
  normalHint_ = Hint(id::kNormalHint, this);
  autoUsbBox_ = TagControl(new QCheckBox(QStringLiteral("Disable Auto-USB"), this), id::kDisableAutoUsb);
  autoUsbBox_->setEnabled(false);
  autoUsbNote_ = Hint(id::kAutoUsbNote, this);
  calibrationHint_ = Hint(id::kCalibrationHint, this);
  withoutReboot_ = TagControl(
      new QCheckBox(QStringLiteral("Switch mode without rebooting DUT(only for WCDMA data card)"), this),
      id::kWithoutReboot);
  openCdRom_ = TagControl(
      new QCheckBox(QStringLiteral("Open CD-ROM(only used on datacard which  had CD-ROM function, "
                                   "not used on PAD)"),
                    this),
      id::kOpenCdRom);
  select_ = TagControl(new QPushButton(QStringLiteral("Select"), this), id::kSelect);
  cancel_ = TagControl(new QPushButton(QStringLiteral("Cancel"), this), id::kCancel);
  select_->setDefault(true);
  cancel_->setAutoDefault(false);

  // Each mode's radio with its hint and options indented under it.
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(14, 12, 14, 12);
  outer->setSpacing(10);
  auto* modes = new QGridLayout;
  modes->setHorizontalSpacing(0);
  modes->setVerticalSpacing(6);
  modes->setColumnMinimumWidth(0, 26);
  modes->setColumnMinimumWidth(1, 26);
  modes->setColumnStretch(2, 1);
  modes->addWidget(normal_, 0, 0, 1, 3);
  modes->addWidget(normalHint_, 1, 1, 1, 2);
  modes->addWidget(autoUsbBox_, 2, 1, 1, 2);
  modes->addWidget(autoUsbNote_, 3, 2);
  modes->setRowMinimumHeight(4, 8);
  modes->addWidget(calibration_, 5, 0, 1, 3);
  modes->addWidget(calibrationHint_, 6, 1, 1, 2);
  modes->addWidget(withoutReboot_, 7, 1, 1, 2);
  modes->addWidget(openCdRom_, 8, 2);
  outer->addLayout(modes);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(select_);
  buttons->addWidget(cancel_);
  outer->addLayout(buttons);

  connect(normal_, &QRadioButton::clicked, this, [this] { OnModeClicked(); });
  connect(calibration_, &QRadioButton::clicked, this, [this] { OnModeClicked(); });
  connect(withoutReboot_, &QCheckBox::clicked, this, [this] { OnWithoutRebootClicked(); });
  connect(select_, &QPushButton::clicked, this, [this] { Select(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
}

void ModeSelectionDialog::setVisible(bool visible) {
  if (visible && !initialised_) {
    initialised_ = true;
    Initialise();
  }
  QDialog::setVisible(visible);
}

void ModeSelectionDialog::Initialise() {
  if (operationMode_ == nullptr || disableAutoUsb_ == nullptr) {
    Present(resources::LoadString(153));
    return;
  }
  // The hints; the Hebrew one reads right to left.
  normalHint_->setText(resources::LoadString(150));
  normalHint_->setLayoutDirection(Qt::RightToLeft);
  calibrationHint_->setText(resources::LoadString(152));
  QFont note = FaceFont(QStringLiteral("Arial"), 18, 400);
  note.setItalic(true);
  autoUsbNote_->setFont(note);
  autoUsbNote_->setText(resources::LoadString(159));

  // Disable Auto-USB is shown, not edited here.
  autoUsbBox_->setChecked(*disableAutoUsb_ != 0);
  autoUsbBox_->setEnabled(false);

  const bool calibration = *operationMode_ == 0;
  (calibration ? calibration_ : normal_)->setChecked(true);
  if (calibration) {
    withoutReboot_->setEnabled(true);
    const bool reboot = rebootDut_ == nullptr || *rebootDut_ != 0;
    withoutReboot_->setChecked(!reboot);
    openCdRom_->setEnabled(!reboot);
    openCdRom_->setChecked(!reboot && sendAtCmd_ != nullptr && *sendAtCmd_ != 0);
  } else {
    // In normal mode neither calibration option can be set.
    withoutReboot_->setEnabled(false);
    openCdRom_->setChecked(false);
    openCdRom_->setEnabled(false);
  }
}

void ModeSelectionDialog::OnModeClicked() {
  if (calibration_->isChecked()) {
    withoutReboot_->setEnabled(true);
    return;
  }
  openCdRom_->setChecked(false);
  openCdRom_->setEnabled(false);
  withoutReboot_->setChecked(false);
  withoutReboot_->setEnabled(false);
}

void ModeSelectionDialog::OnWithoutRebootClicked() {
  const bool on = withoutReboot_->isChecked();
  openCdRom_->setEnabled(on);
  if (!on) openCdRom_->setChecked(false);
}

void ModeSelectionDialog::Select() {
  if (operationMode_ == nullptr || disableAutoUsb_ == nullptr) {
    Present(resources::LoadString(153));
    return;
  }
  int reboot = 0;
  int sendAt = 0;
  if (calibration_->isChecked()) {
    *operationMode_ = 0;
    reboot = withoutReboot_->isChecked() ? 0 : 1;
    sendAt = withoutReboot_->isChecked() && openCdRom_->isChecked() ? 1 : 0;
  } else {
    *operationMode_ = 1;
    *disableAutoUsb_ = autoUsbBox_->isChecked() ? 1 : 0;
  }
  if (rebootDut_ != nullptr) *rebootDut_ = reboot;
  if (sendAtCmd_ != nullptr) *sendAtCmd_ = sendAt;
  accept();
}

void ModeSelectionDialog::Present(const QString& text) {
  if (present_) {
    present_(text);
  } else {
    ShowPlainMessage(this, text);
  }
}

}  // namespace kestrel::ui
