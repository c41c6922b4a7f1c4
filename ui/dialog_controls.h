// What the dialogs share: controls found by the id they carry in the "controlId" property (as
// the station window's are), a group box whose enabled state greys only its own frame and
// title, and the plain message box the dialogs show.
#pragma once

#include <QGroupBox>
#include <QString>

#include <functional>

class QWidget;

namespace kestrel::ui {

inline constexpr char kControlIdProperty[] = "controlId";

// Gives `widget` its id and returns it.
template <typename W>
W* TagControl(W* widget, int id) {
  widget->setProperty(kControlIdProperty, id);
  widget->setObjectName(QStringLiteral("control%1").arg(id));
  return widget;
}

// The child of `root` that carries `id`, or null.
QWidget* FindControl(const QWidget* root, int id);

// Shows a dialog's message. The default is a plain message box over the dialog.
using MessagePresenter = std::function<void(const QString& text)>;
void ShowPlainMessage(QWidget* parent, const QString& text);

// A group box that frames controls without owning their enabled state: disabling it greys its
// frame and title, while the controls inside keep whatever state they were given.
class FrameBox : public QGroupBox {
  Q_OBJECT

 public:
  explicit FrameBox(const QString& title = QString(), QWidget* parent = nullptr);
  void SetFrameEnabled(bool on);
  bool FrameEnabled() const { return frameEnabled_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool frameEnabled_ = true;
};

}  // namespace kestrel::ui
