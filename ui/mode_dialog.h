// ModeSelectionDialog: how the station reaches the phone — normal mode (the phone is switched
// on and connected before the job starts) or calibration mode (the phone is caught in a boot
// mode when it is connected or powered) — with the options of each mode. It edits four fields
// of the settings record through pointers, and only when the operator presses Select.
#pragma once

#include "ui/dialog_controls.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace kestrel::ui {

// The ids of the Mode selection dialog's controls (property "controlId").
namespace mode_ids {
constexpr int kSelect = 1;
constexpr int kCancel = 2;
constexpr int kNormalMode = 1059;
constexpr int kCalibrationMode = 1060;
constexpr int kNormalHint = 1061;
constexpr int kCalibrationHint = 1062;
constexpr int kDisableAutoUsb = 1066;
constexpr int kAutoUsbNote = 1079;
constexpr int kWithoutReboot = 1088;
constexpr int kOpenCdRom = 1121;
}  // namespace mode_ids

class ModeSelectionDialog : public QDialog {
  Q_OBJECT

 public:
  // The four fields, in this order: OperationMode (1 normal, 0 calibration), DisableAutoUSB,
  // RebootDUT, SendATCmd. Without the first two the dialog reports string 153 and changes
  // nothing.
  ModeSelectionDialog(int* operationMode, int* disableAutoUsb, int* rebootDut, int* sendAtCmd,
                      QWidget* parent = nullptr);

  void SetMessagePresenter(MessagePresenter presenter) { present_ = std::move(presenter); }
  QWidget* Control(int id) const { return FindControl(this, id); }

  // Initialises the dialog from the fields the first time it is shown.
  void setVisible(bool visible) override;

 private:
  void BuildControls();
  void Initialise();
  void OnModeClicked();
  void OnWithoutRebootClicked();
  void Select();
  void Present(const QString& text);

  int* operationMode_;
  int* disableAutoUsb_;
  int* rebootDut_;
  int* sendAtCmd_;
  MessagePresenter present_;
  bool initialised_ = false;

  QRadioButton* normal_ = nullptr;
  QRadioButton* calibration_ = nullptr;
  QLabel* normalHint_ = nullptr;
  QCheckBox* autoUsbBox_ = nullptr;
  QLabel* autoUsbNote_ = nullptr;
  QLabel* calibrationHint_ = nullptr;
  QCheckBox* withoutReboot_ = nullptr;
  QCheckBox* openCdRom_ = nullptr;
  QPushButton* select_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace kestrel::ui
