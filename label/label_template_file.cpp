#include "label/label_template_file.h"

#include <QDir>
#include <QFile>

namespace kestrel::label {

QString TemplatePath(const QString& stationFolder, const QString& templateSetting) {
  const QString name = templateSetting.trimmed();
  if (name.isEmpty()) return {};
  return QDir::cleanPath(QDir(stationFolder).absoluteFilePath(name));
}

bool LoadStationTemplate(const QString& stationFolder, const QString& templateSetting,
                         LabelTemplate* out, QString* error) {
  const QString path = TemplatePath(stationFolder, templateSetting);
  QString why;
  if (path.isEmpty()) {
    if (ParseLabelTemplate(DefaultTemplateText(), out, &why)) return true;
    if (error != nullptr) *error = QStringLiteral("default label template: ") + why;
    return false;
  }
  QFile file(path);
  const QString name = QStringLiteral("label template ") + QDir::toNativeSeparators(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error != nullptr) *error = name + QStringLiteral(": ") + file.errorString();
    return false;
  }
  const QByteArray bytes = file.read(kMaxTemplateBytes + 1);
  if (ParseLabelTemplate(bytes, out, &why)) return true;
  if (error != nullptr) *error = name + QStringLiteral(": ") + why;
  return false;
}

}  // namespace kestrel::label
