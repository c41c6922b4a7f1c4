#include "log/durable_file.h"

#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <mutex>
#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel::log {
namespace {

std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}

std::function<bool(const QString&)>& Hook() {
  static std::function<bool(const QString&)> hook;
  return hook;
}

bool SyncHandle(int fd) {
#ifdef Q_OS_WIN
  return ::_commit(fd) == 0;
#else
  return ::fsync(fd) == 0;
#endif
}

bool RunHook(const QString& path) {
  std::function<bool(const QString&)> hook;
  {
    std::lock_guard lock(HookMutex());
    hook = Hook();
  }
  return !hook || hook(path);
}

}  // namespace

void SetSyncHookForTesting(std::function<bool(const QString& path)> hook) {
  std::lock_guard lock(HookMutex());
  Hook() = std::move(hook);
}

bool AppendDurably(const QString& path, const QByteArray& bytes, bool* mayHoldBytes,
                   QString* error) {
  if (mayHoldBytes != nullptr) *mayHoldBytes = false;
  const bool existed = QFileInfo::exists(path);
  QFile file(path);
  auto fail = [&file, error] {
    if (error != nullptr) *error = file.errorString();
    return false;
  };
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) return fail();
  const qint64 before = file.size();
  const bool whole = file.write(bytes) == bytes.size() && file.flush();
  bool ok = whole && SyncHandle(file.handle());
  ok = ok && (existed || SyncFolderOf(path));
  ok = ok && RunHook(path);
  if (ok) {
    file.close();
    if (file.error() == QFileDevice::NoError) return true;
    if (mayHoldBytes != nullptr) *mayHoldBytes = true;  // synced whole before the close failed
    return fail();
  }
  // Nothing of a failed record stays: the file goes back to its length before the append.
  if (error != nullptr) *error = file.errorString();
  const bool cut = file.resize(before) && SyncHandle(file.handle());
  file.close();
  if (mayHoldBytes != nullptr) *mayHoldBytes = whole || !cut;
  return false;
}

bool SyncFolderOf(const QString& path) {
#ifdef Q_OS_WIN
  Q_UNUSED(path);
  return true;
#else
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
#endif
}


bool TouchForAppend(const QString& path) {
  const bool existed = QFileInfo::exists(path);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
  file.close();
  if (!existed) SyncFolderOf(path);
  return true;
}

}  // namespace kestrel::log
