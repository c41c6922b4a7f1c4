// The Mode selection dialog on four fields, driven with clicks: what it shows at opening,
// what Select stores, Cancel storing nothing, the missing-field refusal, and a screenshot.
#include "ui/mode_dialog.h"

#include "resources/string_table.h"
#include "tests/ui/dialog_driver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>

#include <memory>
#include <string>
#include <vector>

namespace kestrel::ui {
namespace {

namespace id = mode_ids;
using testing::ClickOn;

// OperationMode, DisableAutoUSB, RebootDUT, SendATCmd.
struct Fields {
  int mode = 1;
  int autoUsb = 0;
  int reboot = 1;
  int sendAt = 0;
  bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Fields& f) {
  return out << "{mode " << f.mode << ", autoUsb " << f.autoUsb << ", reboot " << f.reboot
             << ", sendAt " << f.sendAt << "}";
}

class ModeDialogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    dialog_.reset();
    QApplication::processEvents();
  }

  ModeSelectionDialog& Open(const Fields& f) {
    fields_ = f;
    return OpenOn(&fields_.mode, &fields_.autoUsb, &fields_.reboot, &fields_.sendAt);
  }
  ModeSelectionDialog& OpenOn(int* mode, int* autoUsb, int* reboot, int* sendAt) {
    dialog_ = std::make_unique<ModeSelectionDialog>(mode, autoUsb, reboot, sendAt);
    dialog_->SetMessagePresenter([this](const QString& text) { messages_ << text; });
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }
  QWidget* W(int controlId) {
    QWidget* w = dialog_->Control(controlId);
    EXPECT_NE(w, nullptr) << controlId;
    return w;
  }
  QAbstractButton* Button(int controlId) { return qobject_cast<QAbstractButton*>(W(controlId)); }
  void Click(int controlId) { ClickOn(W(controlId)); }

  // Normal radio, Disable Auto-USB, without reboot, Open CD-ROM: ticked x/-, enabled E/d.
  std::string States() {
    std::string s = Button(id::kNormalMode)->isChecked() ? "normal" : "calibration";
    for (const int c : {id::kDisableAutoUsb, id::kWithoutReboot, id::kOpenCdRom}) {
      s += ' ';
      s += Button(c)->isChecked() ? 'x' : '-';
      s += W(c)->isEnabled() ? 'E' : 'd';
    }
    return s;
  }

  Fields fields_;
  std::unique_ptr<ModeSelectionDialog> dialog_;
  QStringList messages_;
};

TEST_F(ModeDialogTest, OpeningShowsTheModeAndOnlyTheOptionsThatApply) {
  const struct {
    Fields f;
    const char* states;
  } cases[] = {
      {{1, 0, 1, 0}, "normal -d -d -d"},
      {{1, 1, 0, 1}, "normal xd -d -d"},       // Disable Auto-USB shown, never editable
      {{2, 0, 1, 0}, "normal -d -d -d"},       // any nonzero mode is normal mode
      {{0, 0, 1, 1}, "calibration -d -E -d"},  // rebooting: no CD-ROM option
      {{0, 0, 0, 0}, "calibration -d xE -E"},
      {{0, 1, 0, 1}, "calibration xd xE xE"},
  };
  for (const auto& c : cases) {
    Open(c.f);
    EXPECT_EQ(States(), c.states) << c.f;
  }
}

TEST_F(ModeDialogTest, SelectStoresTheModeAndItsOptions) {
  const struct {
    Fields before;
    std::vector<int> clicks;
    Fields after;
  } cases[] = {
      // Normal mode: the calibration options are cleared, Disable Auto-USB kept as shown.
      {{1, 0, 1, 1}, {}, {1, 0, 0, 0}},
      {{1, 1, 1, 1}, {}, {1, 1, 0, 0}},
      {{0, 1, 0, 1}, {id::kNormalMode}, {1, 1, 0, 0}},
      // Calibration mode: rebooting unless "without rebooting" is ticked; the CD-ROM option
      // counts only without rebooting.
      {{0, 0, 0, 1}, {}, {0, 0, 0, 1}},
      {{0, 0, 0, 1}, {id::kWithoutReboot}, {0, 0, 1, 0}},
      {{0, 0, 0, 0}, {id::kOpenCdRom}, {0, 0, 0, 1}},
      {{0, 0, 1, 0}, {id::kWithoutReboot, id::kOpenCdRom}, {0, 0, 0, 1}},
      {{0, 0, 1, 0}, {id::kWithoutReboot, id::kOpenCdRom, id::kWithoutReboot}, {0, 0, 1, 0}},
      {{1, 0, 0, 0}, {id::kCalibrationMode}, {0, 0, 1, 0}},
      {{1, 1, 0, 0}, {id::kCalibrationMode, id::kWithoutReboot}, {0, 1, 0, 0}},
      // Clicking the disabled Disable Auto-USB changes nothing.
      {{1, 1, 0, 0}, {id::kDisableAutoUsb}, {1, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.before));
    Open(c.before);
    for (const int click : c.clicks) Click(click);
    Click(id::kSelect);
    EXPECT_EQ(dialog_->result(), QDialog::Accepted);
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_EQ(fields_, c.after);
  }
}

TEST_F(ModeDialogTest, SwitchingModesClearsAndReopensTheCalibrationOptions) {
  Open({0, 0, 0, 1});
  const struct {
    int click;
    const char* states;
  } steps[] = {
      {id::kNormalMode, "normal -d -d -d"},
      {id::kCalibrationMode, "calibration -d -E -d"},  // only "without rebooting" comes back
      {id::kWithoutReboot, "calibration -d xE -E"},
      {id::kOpenCdRom, "calibration -d xE xE"},
      {id::kWithoutReboot, "calibration -d -E -d"},
  };
  for (const auto& s : steps) {
    Click(s.click);
    EXPECT_EQ(States(), s.states) << "after clicking " << s.click;
  }
}

TEST_F(ModeDialogTest, CancelStoresNothing) {
  const std::vector<int> edits[] = {
      {}, {id::kCalibrationMode}, {id::kCalibrationMode, id::kWithoutReboot, id::kOpenCdRom}};
  for (const auto& clicks : edits) {
    Open({1, 1, 1, 1});
    for (const int click : clicks) Click(click);
    Click(id::kCancel);
    EXPECT_EQ(dialog_->result(), QDialog::Rejected);
    EXPECT_EQ(fields_, (Fields{1, 1, 1, 1}));
  }
}

TEST_F(ModeDialogTest, WithoutTheModeFieldsItReportsUnknownErrorAndStaysOpen) {
  int autoUsb = 1;
  int reboot = 1;
  int sendAt = 1;
  OpenOn(nullptr, &autoUsb, &reboot, &sendAt);
  EXPECT_EQ(messages_, QStringList{resources::LoadString(153)});
  Click(id::kSelect);
  EXPECT_EQ(messages_.size(), 2);
  EXPECT_EQ(messages_.last(), QStringLiteral("Unknown Error!"));
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(reboot, 1);
  Click(id::kCancel);
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(ModeDialogTest, ShowsItsHintsAndNoteAndAScreenshot) {
  Open({0, 1, 0, 1});
  EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("Mode Selection"));
  auto* normalHint = qobject_cast<QLabel*>(W(id::kNormalHint));
  EXPECT_EQ(normalHint->text(), resources::LoadString(150));
  EXPECT_EQ(normalHint->layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(qobject_cast<QLabel*>(W(id::kCalibrationHint))->text(), resources::LoadString(152));
  auto* note = qobject_cast<QLabel*>(W(id::kAutoUsbNote));
  EXPECT_EQ(note->text(), resources::LoadString(159));
  EXPECT_TRUE(note->font().italic());
  EXPECT_EQ(Button(id::kOpenCdRom)->text(),
            QStringLiteral("Open CD-ROM(only used on datacard which  had CD-ROM function, not used "
                           "on PAD)"));
  testing::ExpectNoClippedTexts(*dialog_);
  ASSERT_TRUE(dialog_->grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/mode_dialog.png")));
}

}  // namespace
}  // namespace kestrel::ui
