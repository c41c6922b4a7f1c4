#include "app/station_app.h"

#include "config/ini_file.h"
#include "config/station_folder.h"
#include "resources/manual/help_text.h"
#include "resources/string_table.h"
#include "resources/version_info.h"
#include "station/station_entry.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <QtGlobal>

#include <cstdio>
#include <cstring>

namespace kestrel::app {
namespace {

// Start-up trace on standard error, for the start-up tests and for engineers:
// KESTREL_STARTUP_TRACE=1.
bool TraceOn() {
  return qEnvironmentVariableIntValue("KESTREL_STARTUP_TRACE") == 1;
}

void Trace(const QString& line) {
  if (TraceOn()) std::fprintf(stderr, "kestrel: %s\n", line.toLocal8Bit().constData());
}

// --help and --version are answered before anything else (no phone handle, no window):
// the exit code, or -1 when neither is the first argument.
int AnswerInfoOption(int argc, char** argv) {
  if (argc < 2) return -1;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kestrel_help_text, stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") != 0) return -1;
  const QString version = resources::VersionInfoReader::ReadProductVersion(
      QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
  if (version.isEmpty()) return 1;
  std::printf("kestrel %s\n", version.toLocal8Bit().constData());
  return 0;
}

}  // namespace

int StationApp::Main(int& argc, char** argv) {
  if (const int handled = AnswerInfoOption(argc, argv); handled >= 0) return handled;
  const PhoneHandle phone = KV_CreatePhone(0);
  if (phone == KV_INVALID_HANDLE) return 1;
  StationApp app(argc, argv, phone);
  return app.Start();
}

StationApp::StationApp(int& argc, char** argv, PhoneHandle phone)
    : QApplication(argc, argv), phone_(phone) {
  setApplicationName(QStringLiteral("Kestrel"));
}

StationApp::~StationApp() {
  Exit();
}

void StationApp::Exit() {
  if (phone_ != KV_INVALID_HANDLE) {
    KV_ReleasePhone(phone_);
    phone_ = KV_INVALID_HANDLE;
  }
}

int StationApp::Start() {
  const QString executable = applicationFilePath();
  productVersion_ = resources::VersionInfoReader::ReadProductVersion(executable);
  Trace(QStringLiteral("product version: ") + productVersion_);

  const QString executableFolder = config::ExecutableFolder();
  const QString stationFolder = config::ResolveStationFolder(arguments());
  Trace(QStringLiteral("station folder: ") + stationFolder);
  ArmExitTimer();
  const bool given = config::WithoutStationDirArgument(arguments()) != arguments() ||
                     !qEnvironmentVariableIsEmpty("KESTREL_STATION_DIR");
  QString refusal;
  if (const int code = folderGuard_.Acquire(stationFolder, given, &refusal); code != 0) {
    std::fprintf(stderr, "kestrel: %s\n", refusal.toLocal8Bit().constData());
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrel"), refusal, QMessageBox::Ok);
    box.exec();
    Exit();
    return code;
  }
  ChooseResources(stationFolder, executableFolder);
  Trace(QStringLiteral("string 109: ") + resources::LoadString(109));

  station::StationStartup startup;
  startup.phone = phone_;
  startup.productVersion = productVersion_;
  startup.stationFolder = stationFolder;
  startup.executableFolder = executableFolder;
  station::RunStationWindow(startup);
  Trace(QStringLiteral("station window closed"));

  Exit();
  return 0;
}

void StationApp::ChooseResources(const QString& stationFolder, const QString& executableFolder) {
  const config::IniFile ini(QDir(stationFolder).filePath(QStringLiteral("Kestrel.ini")));
  const int language = ini.ReadInt(QStringLiteral("Control"), QStringLiteral("Language"), 0);
  if (language != 0) {
    Trace(QStringLiteral("language module: not used (Language=%1)").arg(language));
    return;
  }
  QString error;
  std::unique_ptr<resources::LanguageModule> module = resources::LanguageModule::Load(
      QDir(executableFolder).filePath(resources::LanguageModule::FileName()), &error);
  if (!module) {
    Trace(QStringLiteral("language module: built-in resources (") + error + QLatin1Char(')'));
    return;
  }
  // The module loaded before (if any) is replaced; it stays mapped, as texts handed out from
  // it may still be in use.
  language_ = std::move(module);
  resources::SetStringProvider(language_.get());
  Trace(QStringLiteral("language module: loaded ") + language_->path());
}

// KESTREL_EXIT_AFTER_MS=N closes every window N ms after start and keeps closing whatever
// window appears after that, so that tests and scripted demos end by themselves.
void StationApp::ArmExitTimer() {
  bool ok = false;
  const int ms = qEnvironmentVariableIntValue("KESTREL_EXIT_AFTER_MS", &ok);
  if (!ok || ms < 0) return;
  auto* timer = new QTimer(this);
  timer->setInterval(ms);
  connect(timer, &QTimer::timeout, this, [timer]() {
    timer->setInterval(100);
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->isVisible()) w->close();
    }
  });
  timer->start();
}

}  // namespace kestrel::app
