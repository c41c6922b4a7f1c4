// A station window on a temporary station folder, driven as an operator would: keys go to
// the control that has the keyboard focus, buttons are clicked.
#pragma once

#include "station/control_ids.h"
#include "station/station_controller.h"
#include "tests/support/linked_phone_api.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QtTest/QTest>

#include <memory>

namespace kestrel::station::testing {

class StationWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { qputenv("KESTREL_SYSTEM_PORTS", "0"); }
  void TearDown() override {
    window_.reset();
    QApplication::processEvents();
  }

  // Writes Kestrel.ini, then builds, initialises and shows the window.
  StationController& Open(const QByteArray& ini) {
    dir_.Write(QStringLiteral("Kestrel.ini"), ini);
    StationStartup startup;
    startup.phone = phone_;
    startup.phoneApi = &kestrel::testing::LinkedPhoneApi();
    startup.productVersion = QStringLiteral("1.0.0.1");
    startup.stationFolder = dir_.path();
    window_ = std::make_unique<StationController>(startup);
    window_->SetMessagePresenter([this](const QString& text) { messages_ << text; });
    window_->Initialise();
    window_->show();
    window_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QApplication::processEvents();
    return *window_;
  }

  StationController& W() { return *window_; }
  QLineEdit* EditOf(int id) { return qobject_cast<QLineEdit*>(W().Control(id)); }
  QPushButton* ButtonOf(int id) { return qobject_cast<QPushButton*>(W().Control(id)); }
  QWidget* Focus() { return W().focusWidget(); }

  // The scanner: each character goes to whichever control has the focus at that moment.
  void Scan(const QString& code) {
    for (const QChar c : code) {
      QWidget* target = Focus() != nullptr ? Focus() : window_.get();
      QTest::keyClick(target, c.toLatin1());
    }
  }
  void PressKey(Qt::Key key) {
    QTest::keyClick(Focus() != nullptr ? Focus() : window_.get(), key);
    QApplication::processEvents();
  }
  void Click(int id) {
    QTest::mouseClick(W().Control(id), Qt::LeftButton);
    QApplication::processEvents();
  }

  kestrel::testing::StationDir dir_;
  PhoneHandle phone_ = KV_INVALID_HANDLE;  // a test that talks to a phone creates one
  std::unique_ptr<StationController> window_;
  QStringList messages_;
};

}  // namespace kestrel::station::testing
