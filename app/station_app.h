// The application object: the phone library and the process-wide phone handle, the product
// version, the language module; runs the station window and releases the phone handle at exit.
#pragma once

#include "app/station_folder_guard.h"
#include "device/oxbind_loader/phone_library.h"
#include "resources/language/language_module.h"

#include <QApplication>
#include <QString>

#include <memory>

namespace kestrel::app {

class StationApp : public QApplication {
 public:
  // The whole process: loads the phone library named by [PHONE] Library (the one key read
  // before anything else; empty: Kestrel's own) and creates the phone handle, before the
  // windowing framework is touched. A library that cannot be used ends the process with a
  // message naming the file and what is wrong (exit code 2); without a handle the process ends
  // at once (exit code 1) with nothing shown or written. Otherwise builds the application
  // object and runs Start.
  static int Main(int& argc, char** argv);

  // Takes over the library and `phone` (released by Exit).
  StationApp(int& argc, char** argv, std::unique_ptr<device::oxbind::PhoneLibrary> library,
             PhoneHandle phone);
  ~StationApp() override;

  StationApp(const StationApp&) = delete;
  StationApp& operator=(const StationApp&) = delete;

  // The rest of the start-up (product version, the station folder and its lock, resources),
  // then the station window's modal run; releases the phone handle and returns the exit code
  // 0 when the window has closed. A station folder that cannot be used, or that another
  // station holds, ends the start with a message and exit code 2 or 3.
  int Start();

  // Releases the phone handle (once); called by Start at its end and by the destructor.
  void Exit();

  const QString& productVersion() const { return productVersion_; }
  const resources::LanguageModule* languageModule() const { return language_.get(); }

  // The phone library cannot be used: the message on standard error and in a message box.
  // Returns the exit code 2.
  int RefuseToStart(const QString& message);

 private:
  void ChooseResources(const QString& stationFolder, const QString& executableFolder);
  void ArmExitTimer();

  std::unique_ptr<device::oxbind::PhoneLibrary> library_;  // null only in RefuseToStart
  PhoneHandle phone_ = KV_INVALID_HANDLE;
  QString productVersion_;
  std::unique_ptr<resources::LanguageModule> language_;
  StationFolderGuard folderGuard_;  // the station folder's lock, held while the station runs
};

}  // namespace kestrel::app
