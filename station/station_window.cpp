// The window side of the controller: the command wiring, every key-down passing OnKeyDown
// first, Enter that never closes the window, Escape and the close, About and Help.
#include "station/control_ids.h"
#include "station/cu_fields.h"
#include "station/station_controller.h"
#include "ui/about_box.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

namespace kestrel::station {
namespace {

// The virtual-key code of a key event, for the keys the station compares (Enter, Space,
// letters and digits).
int VirtualKey(const QKeyEvent& event) {
  const int key = event.key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) return config::kKeyEnter;
  if (key == Qt::Key_Space) return config::kKeySpace;
  if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z)) return key;
  return 0;
}

// The window cannot go while a job still uses it: the status line tells the operator how to
// end the job, for a few seconds (unless the line is written again meanwhile).
void TellToStopFirst(QLabel* statusLine) {
  constexpr int kShownMs = 5000;
  static const QString hint = QStringLiteral(
      "A job is running! Press Stop (or wait until it ends), then close the window.");
  if (statusLine->text() != hint) {
    QTimer::singleShot(
        kShownMs, statusLine,
        [statusLine, before = statusLine->text(), direction = statusLine->layoutDirection()] {
          if (statusLine->text() != hint) return;
          statusLine->setLayoutDirection(direction);
          statusLine->setText(before);
        });
  }
  statusLine->setLayoutDirection(Qt::LeftToRight);
  statusLine->setText(hint);
}

}  // namespace

void StationController::ConnectCommands() {
  const StationControls& c = controls_;
  connect(c.write, &QPushButton::clicked, this, [this] { OnWriteCommand(); });
  connect(c.read, &QPushButton::clicked, this, [this] { OnReadCommand(); });
  connect(c.stop, &QPushButton::clicked, this, [this] { OnStopCommand(); });
  connect(c.setting, &QPushButton::clicked, this, [this] { OnSettingCommand(); });
  connect(c.mode, &QPushButton::clicked, this, [this] { OnModeCommand(); });
  connect(c.help, &QPushButton::clicked, this, [this] { OnHelpCommand(); });
  connect(c.portList, &QComboBox::activated, this, [this](int index) { OnPortSelected(index); });
  for (int i = 0; i < kIdentityFieldCount; ++i) {
    connect(c.identity[static_cast<std::size_t>(i)], &QLineEdit::textChanged, this,
            [this, i] { OnIdentityFieldChanged(static_cast<IdentityField>(i)); });
  }
  connect(&portWatchTimer_, &QTimer::timeout, this, [this] { OnPortWatchTimer(); });
  // What the operator types into the CU reference and secure-boot fields is kept in the bound
  // texts at once, so that no later push of the bound texts overwrites it.
  auto keep = [this] { TakeJobFieldTexts(); };
  for (QLineEdit* e : c.cuRef) connect(e, &QLineEdit::textEdited, this, keep);
  for (QLineEdit* e : c.uid) connect(e, &QLineEdit::textEdited, this, keep);
  for (QLineEdit* e : c.hash) connect(e, &QLineEdit::textEdited, this, keep);
  new CuFieldAdvance(c.cuRef, this);
}

QWidget* StationController::Control(int id) const {
  for (QWidget* w : findChildren<QWidget*>()) {
    if (w->property("controlId").toInt() == id) return w;
  }
  return nullptr;
}

void StationController::OnWriteCommand() {
  readJob_.store(false);
  StartJob();
}

void StationController::OnReadCommand() {
  controls_.read->setEnabled(false);
  readJob_.store(true);
  StartJob();
}

// --- Keys, Enter, Escape, close ---

bool StationController::eventFilter(QObject* watched, QEvent* event) {
  // Every key-down of this window, as it reaches the control that has the keyboard focus
  // (the window itself when none has), passes OnKeyDown before the control handles it.
  if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    auto* target = static_cast<QWidget*>(watched);
    QWidget* focus = focusWidget() != nullptr ? focusWidget() : this;
    if (target->window() == this && target == focus) {
      const int key = VirtualKey(*static_cast<QKeyEvent*>(event));
      // A key that started a command has done its work: handing it on as well would hit the
      // control a second time (Space clicks a focused button, Enter the focused Write).
      if (key != 0 && OnKeyDown(key)) return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void StationController::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // Enter never closes the window
    return;
  }
  QDialog::keyPressEvent(event);  // Escape: reject()
}

void StationController::accept() {}

void StationController::reject() {
  // A running job still uses the controller; the window stays until it has ended.
  if (JobRunning() || jobs_.Active()) {
    TellToStopFirst(controls_.statusLine);
    return;
  }
  QDialog::reject();
}

void StationController::closeEvent(QCloseEvent* event) {
  if (JobRunning() || jobs_.Active()) {
    TellToStopFirst(controls_.statusLine);
    event->ignore();
    return;
  }
  if (!closed_) CloseSteps();
  QDialog::closeEvent(event);
}

// --- About, Help ---

void StationController::OnAboutCommand() {
  ui::AboutBox box(this);
  if (!startup_.phoneLibrary.isEmpty()) box.SetPhoneLibraryLine(startup_.phoneLibrary);
  box.exec();
}

QString StationController::HelpPagePath(const QString& executablePath) {
  if (executablePath.isEmpty()) return {};
  const QFileInfo info(executablePath);
  const QString name = info.fileName();
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString base = dot > 0 ? name.left(dot) : name;
  return info.dir().filePath(base + QStringLiteral(".html"));
}

void StationController::OnHelpCommand() {
  const QString exe =
      helpExecutable_.isEmpty() ? QCoreApplication::applicationFilePath() : helpExecutable_;
  const QString page = HelpPagePath(exe);
  if (page.isEmpty()) return;
  if (!QFileInfo::exists(page)) {
    ShowMessage(QStringLiteral("The help page %1 was not found.").arg(page));
    return;
  }
  if (openHelp_) {
    openHelp_(page);
  } else {
    QDesktopServices::openUrl(QUrl::fromLocalFile(page));
  }
}

}  // namespace kestrel::station
