#include "station/cu_fields.h"

#include <QEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

namespace kestrel::station {
namespace {

// A key press that types one character (not a shortcut such as Ctrl+V).
bool TypesOneCharacter(const QKeyEvent& key) {
  const QString text = key.text();
  return text.size() == 1 && text[0].isPrint() &&
         !(key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
}

}  // namespace

CuFieldAdvance::CuFieldAdvance(const std::array<QLineEdit*, kCuRefLength>& fields,
                               QObject* parent)
    : QObject(parent), fields_(fields) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    QLineEdit* field = fields_[i];
    if (field == nullptr) continue;
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this,
            [this, i](const QString& text) { OnEdited(i, text); });
  }
}

bool CuFieldAdvance::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
      typing_ = TypesOneCharacter(*static_cast<QKeyEvent*>(event)) ? watched : nullptr;
      break;
    case QEvent::InputMethod: {
      const auto* im = static_cast<QInputMethodEvent*>(event);
      typing_ = im->commitString().size() == 1 ? watched : nullptr;
      break;
    }
    // What may bring a text by other ways than a typed key.
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::ContextMenu:
    case QEvent::Drop:
    case QEvent::FocusOut:
      typing_ = nullptr;
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

void CuFieldAdvance::OnEdited(std::size_t index, const QString& text) {
  const bool typed = typing_ == fields_[index];
  typing_ = nullptr;
  if (!typed || text.size() != 1 || index + 1 >= fields_.size()) return;
  QLineEdit* next = fields_[index + 1];
  if (next == nullptr) return;
  next->setFocus(Qt::OtherFocusReason);
  next->selectAll();
}

}  // namespace kestrel::station
