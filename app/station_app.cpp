#include "app/station_app.h"

#include "app/station_arguments.h"
#include "config/ini_file.h"
#include "config/phone_library_setting.h"
#include "config/station_folder.h"
#include "resources/manual/help_text.h"
#include "resources/manual/usage.h"
#include "resources/string_table.h"
#include "resources/version_info.h"
#include "station/station_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <QtGlobal>

#include <cstdio>

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

QString ExecutablePath() {
  return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

QStringList ArgumentList(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

// The phone library of the station folder's settings (no application object exists yet).
std::unique_ptr<device::oxbind::PhoneLibrary> LoadPhoneLibrary(const QStringList& arguments,
                                                               QString* error) {
  const QString folder =
      config::FindStationFolder(arguments, QFileInfo(ExecutablePath()).absolutePath());
  const config::PhoneLibraryChoice choice = config::PhoneLibrarySettings(folder);
  return device::oxbind::PhoneLibrary::Load(choice.file, choice.isolate, error);
}

// --version: the station's version and its phone library's.
int AnswerVersion(const device::oxbind::PhoneLibrary* library, const QString& error) {
  const QString version = resources::VersionInfoReader::ReadProductVersion(ExecutablePath());
  if (version.isEmpty()) return 1;
  std::printf("kestrel %s\n", version.toLocal8Bit().constData());
  if (library == nullptr) {
    std::fprintf(stderr, "kestrel: %s\n", error.toLocal8Bit().constData());
    return 2;
  }
  std::printf("phone library: %s (%s)\n", library->Title().toLocal8Bit().constData(),
              library->Path().toLocal8Bit().constData());
  return 0;
}

}  // namespace

int StationApp::Main(int& argc, char** argv) {
  const QStringList arguments = ArgumentList(argc, argv);
  const StationArguments parsed = ParseStationArguments(arguments);
  switch (parsed.action) {
    case StationArguments::Action::Refuse:
      std::fprintf(stderr, "kestrel: %s\n", parsed.error.toLocal8Bit().constData());
      return resources::PrintUsage(stderr);
    case StationArguments::Action::Help:
      std::fputs(kestrel_help_text, stdout);
      return 0;
    case StationArguments::Action::Version:
    case StationArguments::Action::Run:
      break;
  }
  QString error;
  std::unique_ptr<device::oxbind::PhoneLibrary> library = LoadPhoneLibrary(arguments, &error);
  if (parsed.action == StationArguments::Action::Version) {
    return AnswerVersion(library.get(), error);
  }
  if (!library) {
    StationApp app(argc, argv, nullptr, KV_INVALID_HANDLE);
    return app.RefuseToStart(error);
  }
  const PhoneHandle phone = library->Api().CreatePhone(0);
  if (phone == KV_INVALID_HANDLE) return 1;
  StationApp app(argc, argv, std::move(library), phone);
  return app.Start();
}

StationApp::StationApp(int& argc, char** argv,
                       std::unique_ptr<device::oxbind::PhoneLibrary> library, PhoneHandle phone)
    : QApplication(argc, argv), library_(std::move(library)), phone_(phone) {
  setApplicationName(QStringLiteral("Kestrel"));
}

int StationApp::RefuseToStart(const QString& message) {
  std::fprintf(stderr, "kestrel: %s\n", message.toLocal8Bit().constData());
  ArmExitTimer();
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrel"),
                  QStringLiteral("The station cannot start: %1.").arg(message), QMessageBox::Ok);
  box.exec();
  return 2;
}

StationApp::~StationApp() {
  Exit();
}

void StationApp::Exit() {
  if (phone_ != KV_INVALID_HANDLE) {
    library_->Api().ReleasePhone(phone_);
    phone_ = KV_INVALID_HANDLE;
  }
}

int StationApp::Start() {
  const QString executable = applicationFilePath();
  productVersion_ = resources::VersionInfoReader::ReadProductVersion(executable);
  Trace(QStringLiteral("product version: ") + productVersion_);
  Trace(QStringLiteral("phone library: %1 (%2)").arg(library_->Title(), library_->Path()));

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
  startup.phoneApi = &library_->Api();
  startup.phoneLibrary = library_->Title();
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
