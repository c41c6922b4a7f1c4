#include "app/station_folder_guard.h"

#include <QDir>
#include <QFileInfo>

namespace kestrel::app {

int StationFolderGuard::Acquire(const QString& folder, bool given, QString* message) {
  const QFileInfo dir(folder);
  if (given && !dir.isDir()) {
    *message = QStringLiteral("The station folder %1 does not exist. Create it, or name an "
                              "existing folder with --station-dir or KESTREL_STATION_DIR.")
                   .arg(QDir::toNativeSeparators(folder));
    return kUnusableFolder;
  }
  const QFileInfo ini(QDir(folder).filePath(QStringLiteral("Kestrel.ini")));
  if (ini.exists() && (ini.isDir() || !ini.isReadable())) {
    *message = QStringLiteral("%1 is not a readable file. The station cannot run on settings "
                              "it can never save; replace it with a settings file.")
                   .arg(QDir::toNativeSeparators(ini.filePath()));
    return kUnusableFolder;
  }

  lock_ = std::make_unique<QLockFile>(QDir(folder).filePath(QLatin1String(kLockName)));
  // Held for the station's whole run: never stale by age, only when its process is gone.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return 0;

  if (lock_->error() == QLockFile::LockFailedError) {
    qint64 pid = 0;
    QString host;
    QString application;
    lock_->getLockInfo(&pid, &host, &application);
    *message = QStringLiteral("A station is already running on the station folder %1 "
                              "(%2, process %3 on %4). Use that station, or close it first.")
                   .arg(QDir::toNativeSeparators(folder),
                        application.isEmpty() ? QStringLiteral("kestrel") : application)
                   .arg(pid)
                   .arg(host.isEmpty() ? QStringLiteral("this computer") : host);
    return kFolderHeld;
  }
  *message = QStringLiteral("The station folder %1 cannot be written (its lock file %2 cannot "
                            "be made). The station records every phone there; make the folder "
                            "writable.")
                 .arg(QDir::toNativeSeparators(folder), QLatin1String(kLockName));
  return kUnusableFolder;
}

}  // namespace kestrel::app
