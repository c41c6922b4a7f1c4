#include "resources/sounds/sounds.h"

namespace kestrel::resources {

QUrl PassSoundUrl() {
  return QUrl(QStringLiteral("qrc:/sounds/pass.wav"));
}

QUrl FailSoundUrl() {
  return QUrl(QStringLiteral("qrc:/sounds/fail.wav"));
}

}  // namespace kestrel::resources
