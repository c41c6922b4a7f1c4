// Drawing a label: onto any painter (a printer's page, an image, a PDF), with the bar codes'
// modules whole device dots wide so that a thermal printer's bars keep their proportions. A
// bar code is centred in its box and may come out narrower than the box for that.
#pragma once

#include "label/label_template.h"
#include "label/label_values.h"

#include <QImage>
#include <QString>

class QPainter;

namespace kestrel::label {

// The resolution of a preview image: 12 dots a millimetre (about 300 dpi).
constexpr double kPreviewDotsPerMm = 12.0;

// Draws the label on `painter`, whose units are device dots with the origin at the label's
// top-left corner, `dotsPerMm` dots a millimetre. Nothing is drawn when an item cannot be
// (a bar code that libzint refuses, or one with more modules than its box has dots); false
// then, with the line and the reason in *error.
bool DrawLabel(QPainter& painter, const LabelTemplate& label, const LabelValues& values,
               double dotsPerMm, QString* error);

// The label as an image (white ground) at `dotsPerMm`; a null image with *error on failure.
QImage RenderLabelImage(const LabelTemplate& label, const LabelValues& values, double dotsPerMm,
                        QString* error);

// Writes the label to a PNG image (at kPreviewDotsPerMm) or a one-page PDF the size of the
// label, by the file name's extension (.png or .pdf).
bool WriteLabelFile(const QString& path, const LabelTemplate& label, const LabelValues& values,
                    QString* error);

}  // namespace kestrel::label
