// kestrel-cli label [--station-dir DIR] preview [VALUES] [--template FILE] --out FILE.png|.pdf
//                                       print --last [--printer QUEUE]
//                                       check
//                                       default-template
//
// preview draws the station's label (its [LABEL] Template, or --template FILE) without printing:
// a PNG at 12 dots a mm or a PDF the label's size. VALUES are --imei1 ... --imei4, --bt, --wifi,
// --sn1, --sn2, --date and --station; a field not given shows a sample value (the station's
// name and today for the last two), one given empty is left out. print --last prints the label
// of the last passed phone of the job records again, to [LABEL] Printer (or --printer QUEUE)
// with [LABEL] Copies. check parses the template as the station does at start-up;
// default-template writes the shipped default template to standard output.
//
// Exit 0 done, 1 a template refused, no passed phone, or a label not drawn or not printed,
// 2 on bad arguments.
#include "config/settings_load.h"
#include "config/station_folder.h"
#include "identity/imei.h"
#include "label/label_print.h"
#include "label/label_render.h"
#include "label/label_template_file.h"
#include "records/last_passed_job.h"
#include "tools/cli/cli_commands.h"
#include "tools/cli/cli_support.h"

#include <QDate>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <optional>

namespace kestrel::cli {
namespace {

int Usage() {
  std::fputs(
      "usage: kestrel-cli label [--station-dir DIR] preview [--imei1 IMEI] ... [--template FILE] "
      "--out FILE.png|FILE.pdf\n"
      "       kestrel-cli label [--station-dir DIR] print --last [--printer QUEUE]\n"
      "       kestrel-cli label [--station-dir DIR] check | default-template\n",
      stderr);
  return 2;
}

int Fail(const QString& text) {
  std::fprintf(stderr, "kestrel-cli: %s\n", text.toLocal8Bit().constData());
  return 1;
}

config::StationSettings LoadStation(const QString& folder) {
  StderrSink sink;
  config::SettingsLoadContext context;
  context.messages = &sink;
  return config::LoadSettings(QDir(folder).filePath(QStringLiteral("Kestrel.ini")), context);
}

label::LabelValues SampleValues(const config::StationSettings& s) {
  label::LabelValues v;
  const std::uint64_t body = 35693803564380ULL;
  v[label::LabelField::IMEI1] = identity::FullImei(body);
  v[label::LabelField::IMEI2] = identity::FullImei(body + 1);
  v[label::LabelField::IMEI3] = identity::FullImei(body + 2);
  v[label::LabelField::IMEI4] = identity::FullImei(body + 3);
  v[label::LabelField::BT] = QStringLiteral("0a0b0c0d0e0f");
  v[label::LabelField::WIFI] = QStringLiteral("00037f000001");
  v[label::LabelField::SN1] = QStringLiteral("SN00000001");
  v[label::LabelField::SN2] = QStringLiteral("SN00000002");
  v[label::LabelField::Date] = QDate::currentDate().toString(Qt::ISODate);
  v[label::LabelField::Station] = QString::fromLocal8Bit(s.CurrentStationName);
  return v;
}

int Preview(const QString& folder, const QStringList& args) {
  const config::StationSettings s = LoadStation(folder);
  label::LabelValues values = SampleValues(s);
  QString templateFile = s.LabelTemplate;
  QString out;
  for (qsizetype i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size() || !args[i].startsWith(QLatin1String("--"))) return Usage();
    const QString name = args[i].mid(2);
    const QString& value = args[i + 1];
    if (name == QLatin1String("out")) {
      out = value;
    } else if (name == QLatin1String("template")) {
      templateFile = QDir::current().absoluteFilePath(value);
    } else if (const std::optional<label::LabelField> field = label::FieldFromName(name)) {
      values[*field] = value;
    } else {
      return Usage();
    }
  }
  if (out.isEmpty()) return Usage();
  label::LabelTemplate t;
  QString error;
  if (!label::LoadStationTemplate(folder, templateFile, &t, &error)) return Fail(error);
  if (!label::WriteLabelFile(out, t, values, &error)) return Fail(error);
  std::printf("wrote %s (%s x %s mm)\n", out.toLocal8Bit().constData(),
              QString::number(t.sizeMm.width()).toLatin1().constData(),
              QString::number(t.sizeMm.height()).toLatin1().constData());
  return 0;
}

int PrintLast(const QString& folder, const QStringList& args) {
  QString printer;
  bool last = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--last")) {
      last = true;
    } else if (args[i] == QLatin1String("--printer") && i + 1 < args.size()) {
      printer = args[++i];
    } else {
      return Usage();
    }
  }
  if (!last) return Usage();
  const config::StationSettings s = LoadStation(folder);
  label::PrintRequest request;
  QString error;
  if (!label::LoadStationTemplate(folder, s.LabelTemplate, &request.label, &error))
    return Fail(error);
  records::JobRecord r;
  if (!records::LastPassedWriteJob(QDir(folder).filePath(QStringLiteral("Log")), &r)) {
    return Fail(QStringLiteral("no passed phone in the job records of %1").arg(folder));
  }
  for (const auto& [name, value] : r.identities) {
    if (const std::optional<label::LabelField> field = label::FieldFromName(name)) {
      request.values[*field] = value;
    }
  }
  request.values[label::LabelField::Date] = r.startedAt.date().toString(Qt::ISODate);
  request.values[label::LabelField::Station] = r.station;
  request.printer = printer.isEmpty() ? s.LabelPrinter : printer;
  request.copies = s.LabelCopies;
  request.title = QStringLiteral("IMEI %1").arg(request.values[label::LabelField::IMEI1]);
  const label::PrintResult result = label::PrintLabel(request);
  if (!result.printed) return Fail(QStringLiteral("label not printed: ") + result.error);
  std::printf("printed IMEI1=%s on %s\n",
              request.values[label::LabelField::IMEI1].toLocal8Bit().constData(),
              result.printer.toLocal8Bit().constData());
  return 0;
}

int Check(const QString& folder) {
  const config::StationSettings s = LoadStation(folder);
  label::LabelTemplate t;
  QString error;
  if (!label::LoadStationTemplate(folder, s.LabelTemplate, &t, &error)) return Fail(error);
  const QString path = label::TemplatePath(folder, s.LabelTemplate);
  std::printf("template=%s\nsize=%s x %s mm\nitems=%d\n",
              path.isEmpty() ? "default" : QDir::toNativeSeparators(path).toLocal8Bit().constData(),
              QString::number(t.sizeMm.width()).toLatin1().constData(),
              QString::number(t.sizeMm.height()).toLatin1().constData(),
              static_cast<int>(t.items.size()));
  return 0;
}

}  // namespace

int RunLabelCommand(const QStringList& args) {
  const qsizetype dirAt = args.indexOf(QLatin1String("--station-dir"));
  if (dirAt >= 0 && dirAt == args.size() - 1) return Usage();
  QStringList rest = config::WithoutStationDirArgument(args);
  if (rest.isEmpty()) return Usage();
  const QString command = rest.takeFirst();
  if (command == QLatin1String("default-template")) {
    if (!rest.isEmpty()) return Usage();
    const QByteArray text = label::DefaultTemplateText();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    return 0;
  }
  const QString folder = config::ResolveStationFolder(args);
  if (command == QLatin1String("preview")) return Preview(folder, rest);
  if (command == QLatin1String("print")) return PrintLast(folder, rest);
  if (command == QLatin1String("check") && rest.isEmpty()) return Check(folder);
  return Usage();
}

}  // namespace kestrel::cli
