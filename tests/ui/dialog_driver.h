// Driving a dialog as an operator does: clicks on the control with a given id, keys typed
// into it, and the modal dialog that a click opens.
#pragma once

#include "ui/dialog_controls.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>

#include <functional>
#include <memory>

namespace kestrel::ui::testing {

// A click where the operator clicks: on the box of a check box or radio button, in the middle
// of anything else.
inline void ClickOn(QWidget* w) {
  ASSERT_NE(w, nullptr);
  const bool box = qobject_cast<QCheckBox*>(w) != nullptr || qobject_cast<QRadioButton*>(w) != nullptr;
  const QPoint at = box ? QPoint(8, w->height() / 2) : w->rect().center();
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
  QApplication::processEvents();
}

// Replaces the text of an edit by typing: select all, then the keys one by one.
inline void TypeInto(QLineEdit* edit, const QString& keys) {
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, keys);
}

// Runs `drive` on the modal dialog that the next call opens, once it is up. A dialog that
// `drive` leaves open (a failed expectation) is cancelled, so the test goes on; one that
// never comes is given up after 10 s.
template <typename D>
void WhenModal(std::function<void(D*)> drive) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  auto ticks = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, drive, ticks] {
    auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
    if (d == nullptr && ++*ticks < 1000) return;
    timer->stop();
    timer->deleteLater();
    if (d == nullptr) {
      ADD_FAILURE() << "no modal dialog came up";
      return;
    }
    drive(d);
    if (d->isVisible()) d->reject();
  });
  timer->start();
}

// Every text fits its control: nothing is cut off at the default size.
inline void ExpectNoClippedTexts(const QDialog& dialog) {
  for (const QWidget* w : dialog.findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    if (const auto* push = qobject_cast<const QPushButton*>(w)) {
      EXPECT_GE(w->width(), push->fontMetrics().horizontalAdvance(push->text()) + 8)
          << w->objectName().toStdString();
      continue;
    }
    const auto* label = qobject_cast<const QLabel*>(w);
    if ((label != nullptr && !label->wordWrap()) || qobject_cast<const QAbstractButton*>(w) ||
        qobject_cast<const QComboBox*>(w)) {
      EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
      EXPECT_GE(w->height(), w->minimumSizeHint().height()) << w->objectName().toStdString();
    }
  }
}

}  // namespace kestrel::ui::testing
