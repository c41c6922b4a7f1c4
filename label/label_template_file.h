// The template a station uses: [LABEL] Template= names a file in the station folder (a
// relative name is taken from there); empty names the shipped default.
#pragma once

#include "label/label_template.h"

#include <QString>

namespace kestrel::label {

// The template's path, or empty for the shipped default.
QString TemplatePath(const QString& stationFolder, const QString& templateSetting);

// Reads and parses the station's template. False with the file and what is wrong in *error
// ("label template /st/box.txt: line 4: unknown field 'IMEI5' ...").
bool LoadStationTemplate(const QString& stationFolder, const QString& templateSetting,
                         LabelTemplate* out, QString* error);

}  // namespace kestrel::label
