#include "ui/fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHash>
#include <QStringList>

#include <algorithm>

namespace kestrel::ui {
namespace {

QStringList LookAlikes(const QString& face) {
  const QString f = face.toLower();
  if (f == QLatin1String("arial")) {
    return {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
            QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")};
  }
  if (f == QLatin1String("simhei")) {
    return {QStringLiteral("SimHei"), QStringLiteral("Noto Sans CJK SC"),
            QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback"),
            QStringLiteral("DejaVu Sans")};
  }
  if (f == QLatin1String("dotum")) {
    return {QStringLiteral("Noto Sans CJK KR"), QStringLiteral("UnDotum"),
            QStringLiteral("Droid Sans Fallback"), QStringLiteral("DejaVu Sans")};
  }
  if (f == QLatin1String("ms sans serif") || f == QLatin1String("microsoft sans serif")) {
    return {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
            QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")};
  }
  if (f == QLatin1String("century gothic")) {
    return {QStringLiteral("URW Gothic"), QStringLiteral("TeX Gyre Adventor"),
            QStringLiteral("DejaVu Sans")};
  }
  if (f == QLatin1String("courier new")) {
    return {QStringLiteral("Liberation Mono"), QStringLiteral("Nimbus Mono PS"),
            QStringLiteral("DejaVu Sans Mono")};
  }
  if (f == QLatin1String("verdana")) {
    return {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")};
  }
  return {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")};
}

}  // namespace

QString InstalledFamily(const QString& face) {
  static QHash<QString, QString> cache;
  const auto hit = cache.constFind(face);
  if (hit != cache.constEnd()) return *hit;
  QString family = QApplication::font().family();
  if (QFontDatabase::hasFamily(face)) {
    family = face;
  } else {
    for (const QString& candidate : LookAlikes(face)) {
      if (QFontDatabase::hasFamily(candidate)) {
        family = candidate;
        break;
      }
    }
  }
  cache.insert(face, family);
  return family;
}

QFont FaceFont(const QString& face, int cellHeight, int weight) {
  QFont font(InstalledFamily(face));
  font.setStyleHint(QFont::SansSerif);
  font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 100, 900)));
  const int target = std::max(cellHeight, 1);
  int size = target;
  font.setPixelSize(size);
  while (size > 1 && QFontMetrics(font).height() > target) {
    font.setPixelSize(--size);
  }
  return font;
}

QFont DialogFont(const QString& face, int points) {
  QFont font(InstalledFamily(face));
  font.setPointSize(std::max(points, 1));
  return font;
}

}  // namespace kestrel::ui
