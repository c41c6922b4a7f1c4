#include "ui/dialog_controls.h"

#include <QMessageBox>
#include <QStyleOptionGroupBox>
#include <QStylePainter>
#include <QWidget>

namespace kestrel::ui {

QWidget* FindControl(const QWidget* root, int id) {
  for (QWidget* w : root->findChildren<QWidget*>()) {
    const QVariant v = w->property(kControlIdProperty);
    if (v.isValid() && v.toInt() == id) return w;
  }
  return nullptr;
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  QWidget* owner = parent != nullptr ? parent->window() : nullptr;
  QWidget* titleSource = owner != nullptr && owner->parentWidget() != nullptr
                             ? owner->parentWidget()->window()
                             : owner;
  const QString title = titleSource != nullptr ? titleSource->windowTitle() : QString();
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
  box.exec();
}

FrameBox::FrameBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

void FrameBox::SetFrameEnabled(bool on) {
  if (frameEnabled_ == on) return;
  frameEnabled_ = on;
  update();
}

void FrameBox::paintEvent(QPaintEvent* /*event*/) {
  QStylePainter painter(this);
  QStyleOptionGroupBox option;
  initStyleOption(&option);
  if (!frameEnabled_) {
    option.state &= ~QStyle::State_Enabled;
    option.palette.setCurrentColorGroup(QPalette::Disabled);
  }
  painter.drawComplexControl(QStyle::CC_GroupBox, option);
}

}  // namespace kestrel::ui
