// kestrel-cli label as an engineer uses it: a preview whose bar codes decode, the template
// checked as the station checks it at start-up, and the last passed phone's label printed again
// from the job records to a throwaway CUPS.
#include "label/label_template.h"
#include "records/job_record.h"
#include "tests/label/label_decode.h"
#include "tests/support/cli_run.h"
#include "tests/support/cups_server.h"

#include <gtest/gtest.h>

#include <QDir>

namespace kestrel::label {
namespace {

using kestrel::testing::CliRun;
using kestrel::testing::RunStationCli;
using kestrel::testing::StationDir;

// What kestrel-cli said on standard error, without what Qt says about the session it runs in
// (a test machine has no XDG_RUNTIME_DIR, for one).
QString Said(const QString& err) {
  QStringList lines;
  for (const QString& line : err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    if (line.startsWith(QLatin1String("kestrel-cli: "))) lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

TEST(LabelCli, PreviewDrawsTheStationsLabelWithTheValuesGiven) {
  StationDir dir;
  const QString png = dir.File(QStringLiteral("preview.png"));
  CliRun r = RunStationCli(
      QStringLiteral("label"), dir,
      {QStringLiteral("preview"), QStringLiteral("--imei1"), QStringLiteral("490154203237518"),
       QStringLiteral("--IMEI2"), QStringLiteral("490154203237526"), QStringLiteral("--out"), png});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("wrote %1 (50 x 30 mm)\n").arg(png));
  EXPECT_EQ(testing::ReadCode128(png),
            (QStringList{QStringLiteral("490154203237518"), QStringLiteral("490154203237526")}));

  // The station's own template, as a PDF of its size; a field given empty is left out.
  dir.Write(QStringLiteral("Kestrel.ini"), "[LABEL]\nTemplate=labels/box.txt\n");
  QDir(dir.path()).mkdir(QStringLiteral("labels"));
  dir.Write(QStringLiteral("labels/box.txt"),
            "size 70 40\ndatamatrix \"{IMEI1}/{SN1}\" 2 2 30 30\ncode128 IMEI2 35 2 33 10\n");
  const QString pdf = dir.File(QStringLiteral("preview.pdf"));
  r = RunStationCli(QStringLiteral("label"), dir,
                    {QStringLiteral("preview"), QStringLiteral("--sn1"), QStringLiteral("A-7"),
                     QStringLiteral("--imei2"), QString(), QStringLiteral("--out"), pdf});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QSizeF page = testing::PdfPageSizeMm(pdf);
  EXPECT_NEAR(page.width(), 70, 0.2);
  EXPECT_NEAR(page.height(), 40, 0.2);
  const QString rendered = testing::RenderPdfPage(pdf, 300);
  EXPECT_TRUE(testing::ReadCode128(rendered).isEmpty());
  // The sample IMEI1 with its check digit.
  EXPECT_EQ(testing::ReadDataMatrix(rendered, 1),
            QStringList{QStringLiteral("356938035643809/A-7")});
  // A field the template format does not know is a wrong argument.
  EXPECT_EQ(RunStationCli(QStringLiteral("label"), dir,
                          {QStringLiteral("preview"), QStringLiteral("--imei9"),
                           QStringLiteral("1"), QStringLiteral("--out"), png})
                .exitCode,
            2);
}

TEST(LabelCli, CheckNamesTheLineOfABadTemplateAndDefaultTemplateIsTheShippedOne) {
  StationDir dir;
  CliRun r = RunStationCli(QStringLiteral("label"), dir, {QStringLiteral("check")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("template=default\nsize=50 x 30 mm\nitems=4\n"));

  const QString bad = dir.Write(QStringLiteral("bad.txt"), "size 50 30\ntext IMEI1 0 0 60 3\n");
  dir.Write(QStringLiteral("Kestrel.ini"), "[LABEL]\nPrint=1\nTemplate=bad.txt\n");
  r = RunStationCli(QStringLiteral("label"), dir, {QStringLiteral("check")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Said(r.err), QStringLiteral("kestrel-cli: label template %1: line 2: the item reaches "
                                        "past the label's right edge (0 + 60 > 50 mm)")
                             .arg(bad));

  r = RunStationCli(QStringLiteral("label"), dir, {QStringLiteral("default-template")});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.toUtf8(), DefaultTemplateText());
}

TEST(LabelCli, PrintLastPrintsTheLastPassedPhoneOfTheJobRecords) {
  kestrel::testing::CupsServer cups;
  QString why;
  if (!cups.Start(&why)) GTEST_SKIP() << "no CUPS to print to: " << why.toStdString();
  ASSERT_TRUE(cups.AddPdfQueue(QStringLiteral("kestrel-pdf"), &why)) << why.toStdString();

  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"), "[LABEL]\nPrinter=kestrel-pdf\nTemplate=box.txt\n");
  dir.Write(QStringLiteral("box.txt"),
            "size 40 40\ndatamatrix \"{IMEI1};{STATION};{DATE}\" 5 5 30 30\n");
  const QMap<QString, QString> env{{QStringLiteral("CUPS_SERVER"), cups.Address()}};
  const QString cli = kestrel::testing::BinPath(QStringLiteral("kestrel-cli"));
  const QStringList args{QStringLiteral("label"), QStringLiteral("--station-dir"), dir.path(),
                         QStringLiteral("print"), QStringLiteral("--last")};
  kestrel::testing::ChildRun run = kestrel::testing::RunChild(cli, args, env);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Said(QString::fromUtf8(run.err)),
            QStringLiteral("kestrel-cli: no passed phone in the job records of ") + dir.path());

  // Two days of records: the last passed write job is yesterday's second, not the read or the
  // failure after it.
  QDir(dir.path()).mkdir(QStringLiteral("Log"));
  const QDate yesterday = QDate::currentDate().addDays(-1);
  auto record = [](const char* kind, const char* outcome, const char* imei, const QDate& day) {
    records::JobRecord r;
    r.station = QStringLiteral("LINE3-W2");
    r.startedAt = QDateTime(day, QTime(10, 0));
    r.mode = QStringLiteral("normal");
    r.kind = QLatin1String(kind);
    r.outcome = QLatin1String(outcome);
    r.durationMs = 900;
    r.identities = {{QStringLiteral("IMEI1"), QLatin1String(imei)}};
    return records::ComposeJobRecordLine(r);
  };
  dir.Write(QStringLiteral("Log/") + records::JobRecordFileName(yesterday),
            record("write", "passed", "356938035643809", yesterday) +
                record("write", "passed", "356938035643817", yesterday) +
                record("read", "passed", "111111111111111", yesterday));
  dir.Write(QStringLiteral("Log/") + records::JobRecordFileName(QDate::currentDate()),
            record("write", "failed", "222222222222222", QDate::currentDate()) + "{\"cut");
  run = kestrel::testing::RunChild(cli, args, env);
  ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_EQ(run.out, "printed IMEI1=356938035643817 on kestrel-pdf\n");
  const QString pdf = cups.TakePdf(20000);
  ASSERT_FALSE(pdf.isEmpty()) << cups.ErrorLog().right(2000).toStdString();
  const QSizeF page = testing::PdfPageSizeMm(pdf);
  EXPECT_NEAR(page.width(), 40, 0.5);
  EXPECT_NEAR(page.height(), 40, 0.5);
  EXPECT_EQ(
      testing::ReadDataMatrix(testing::RenderPdfPage(pdf, 300), 1),
      QStringList{QStringLiteral("356938035643817;LINE3-W2;") + yesterday.toString(Qt::ISODate)});

  // A stopped queue prints nothing and says so.
  ASSERT_TRUE(cups.StopQueue(QStringLiteral("kestrel-pdf")));
  run = kestrel::testing::RunChild(cli, args, env);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(Said(QString::fromUtf8(run.err)),
            QStringLiteral("kestrel-cli: label not printed: printer kestrel-pdf is stopped"));
}

}  // namespace
}  // namespace kestrel::label
