// Fonts asked for by face name, as the station's windows name them ("Arial", "SIMHEI",
// "Dotum", "MS sans serif", "VERDANA", "Century Gothic", "Courier New"). A face that is not installed falls back to the first
// installed family of a list of look-alikes, then to the application's default family; glyphs
// a family lacks (Hebrew, Chinese) are still drawn by Qt's per-character fallback.
#pragma once

#include <QFont>
#include <QString>

namespace kestrel::ui {

// The installed family that stands for `face`.
QString InstalledFamily(const QString& face);

// A font of `face` whose character cell (ascent plus descent, what a positive font height asks
// for) is at most `cellHeight` pixels and as close to it as the family allows. `weight` is on
// the 100..900 scale (400 normal, 700 bold). Proportional sans-serif pitch.
QFont FaceFont(const QString& face, int cellHeight, int weight);

// The font of a dialog: `face` at `points` points, normal weight.
QFont DialogFont(const QString& face, int points);

}  // namespace kestrel::ui
