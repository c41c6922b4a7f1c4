// The fixed record files of tests/records/job_records in a station folder, and a reader of the
// report page's charts, shared by the report's tests.
#pragma once

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>

#include <map>
#include <vector>

namespace kestrel::records::testing {

// A station folder whose Log/ holds the fixed record files.
inline void CopyFixture(const kestrel::testing::StationDir& dir) {
  const QDir source(kestrel::testing::SourceDir() + QStringLiteral("/tests/records/job_records"));
  QDir().mkpath(dir.File(QStringLiteral("Log")));
  for (const QString& name : source.entryList(QDir::Files)) {
    ASSERT_TRUE(QFile::copy(source.filePath(name), dir.File(QStringLiteral("Log/") + name)));
  }
}

struct Svg {
  int polylinePoints = -1;
  int dots = 0;
  std::vector<double> ys;
};

// Reads the page as XML; the charts by their ids.
inline bool ReadPage(const QByteArray& page, std::map<QString, Svg>* charts, QString* error) {
  QXmlStreamReader xml(page);
  QString chart;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      if (xml.name() == QLatin1String("svg")) {
        chart = xml.attributes().value(QLatin1String("id")).toString();
        (*charts)[chart];
      } else if (!chart.isEmpty() && xml.name() == QLatin1String("polyline")) {
        const QStringList points = xml.attributes()
                                       .value(QLatin1String("points"))
                                       .toString()
                                       .split(QLatin1Char(' '), Qt::SkipEmptyParts);
        (*charts)[chart].polylinePoints = static_cast<int>(points.size());
        for (const QString& p : points) (*charts)[chart].ys.push_back(p.section(QLatin1Char(','), 1).toDouble());
      } else if (!chart.isEmpty() && xml.name() == QLatin1String("circle")) {
        ++(*charts)[chart].dots;
      }
    } else if (xml.isEndElement() && xml.name() == QLatin1String("svg")) {
      chart.clear();
    }
  }
  *error = xml.hasError() ? xml.errorString() : QString();
  return !xml.hasError();
}

}  // namespace kestrel::records::testing
