#include "device/oxbind_loader/phone_library.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#include <cstdio>

namespace kestrel::device::oxbind {
namespace {

// Where a resolved call lives, as the system's loader reports it.
QString LoadedFrom(const void* symbol, const QString& fallback) {
  Dl_info info{};
  if (symbol != nullptr && ::dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) {
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
  }
  return fallback;
}

QString Terminated(const char* text, std::size_t size) {
  std::size_t n = 0;
  while (n < size && text[n] != 0) ++n;
  return QString::fromUtf8(text, static_cast<qsizetype>(n));
}

}  // namespace

QString PhoneLibrary::OwnFileName() {
  return QStringLiteral("libkestrel-oxbind.so.%1").arg(KV_ABI_MAJOR);
}

QString PhoneLibrary::DefaultFile(const QString& executableFolder) {
  const QDir folder(executableFolder);
  // Beside the executable (a build tree, a station unpacked into a folder of its own), then
  // the multiarch folder next to the installed executables' /usr/lib/kestrel.
  for (const QString& candidate :
       {folder.filePath(OwnFileName()),
        QDir::cleanPath(
            folder.filePath(QStringLiteral("../" KESTREL_LIBRARY_ARCH "/") + OwnFileName()))}) {
    if (QFileInfo::exists(candidate)) return candidate;
  }
  return OwnFileName();
}

QString PhoneLibrary::Title() const {
  const QString version = Version();
  return version.isEmpty() ? Name() : Name() + QLatin1Char(' ') + version;
}

std::unique_ptr<PhoneLibrary> PhoneLibrary::Load(const QString& requested, QString* error) {
  QString file = requested;
  if (file.isEmpty()) {
    QString folder =
        QCoreApplication::instance() != nullptr
            ? QCoreApplication::applicationDirPath()
            : QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    file = DefaultFile(folder);
  }
  auto fail = [&](const QString& what) {
    *error = QStringLiteral("phone library %1: %2").arg(file, what);
    return nullptr;
  };
  // A path is taken as it is; a bare name goes to the system's loader, which searches its
  // folders.
  if (file.contains(QLatin1Char('/')) && !QFileInfo::exists(file)) {
    return fail(QStringLiteral("the file does not exist"));
  }

  std::unique_ptr<PhoneLibrary> lib(new PhoneLibrary());
  lib->library_.setFileName(file);
  if (!lib->library_.load()) {
    return fail(
        QStringLiteral("not a library that can be loaded (%1)").arg(lib->library_.errorString()));
  }
  PhoneApi& api = lib->api_;
  QStringList missing;
#define KESTREL_OXBIND_RESOLVE(name)                                                   \
  api.name = reinterpret_cast<decltype(api.name)>(lib->library_.resolve("KV_" #name)); \
  if (api.name == nullptr) missing << QStringLiteral("KV_" #name);
  KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_OXBIND_RESOLVE)
  if (!missing.isEmpty()) {
    constexpr int kNamed = 4;
    QString lacks = missing.mid(0, kNamed).join(QStringLiteral(", "));
    if (missing.size() > kNamed)
      lacks += QStringLiteral(" and %1 more").arg(missing.size() - kNamed);
    return fail(QStringLiteral("not a phone library of this station: it lacks %1").arg(lacks));
  }
  KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_OXBIND_RESOLVE)
#undef KESTREL_OXBIND_RESOLVE
  lib->missingOptional_ = missing;

  KV_LibraryInfo info{};
  if (const int32_t r = api.GetLibraryInfo(&info); r != KV_OK) {
    return fail(QStringLiteral("KV_GetLibraryInfo answered %1").arg(r));
  }
  if (info.abiMajor != KV_ABI_MAJOR) {
    return fail(QStringLiteral("it is made for version %1.%2 of the phone library interface; "
                               "this station takes version %3")
                    .arg(info.abiMajor)
                    .arg(info.abiMinor)
                    .arg(KV_ABI_MAJOR));
  }
  api.info = info;
  // The texts are kept terminated whatever the library left in them.
  api.info.name[sizeof(api.info.name) - 1] = 0;
  api.info.version[sizeof(api.info.version) - 1] = 0;
  if (Terminated(api.info.name, sizeof(api.info.name)).isEmpty()) {
    std::snprintf(api.info.name, sizeof(api.info.name), "%s",
                  QFileInfo(file).fileName().toUtf8().constData());
  }
  lib->path_ = LoadedFrom(reinterpret_cast<const void*>(api.GetLibraryInfo), file);
  return lib;
}

}  // namespace kestrel::device::oxbind
