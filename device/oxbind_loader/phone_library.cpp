#include "device/oxbind_loader/phone_library.h"

#include "device/oxbind/host/phone_proxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#include <cstdio>
#include <vector>

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

QString ExecutableFolder() {
  return QCoreApplication::instance() != nullptr
             ? QCoreApplication::applicationDirPath()
             : QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

// The proxy's calls of its own (phone_proxy.h).
struct ProxyCalls {
  decltype(&::KVP_Open) open = nullptr;
  decltype(&::KVP_HasCall) hasCall = nullptr;
  decltype(&::KVP_LibraryPath) libraryPath = nullptr;
  decltype(&::KVP_TakeHostNotes) takeHostNotes = nullptr;
};

// Loads the proxy beside the executable into `library` and has it start the host on `file`.
// False with *error (the part after "phone library FILE: ").
bool OpenProxy(QLibrary& library, const QString& executableFolder, const QString& file,
               ProxyCalls* calls, QString* error) {
  const QString host = PhoneLibrary::HostProgram(executableFolder);
  const QString proxyFile = PhoneLibrary::ProxyFile(executableFolder);
  for (const QString& needed : {host, proxyFile}) {
    if (!QFileInfo::exists(needed)) {
      *error = QStringLiteral("Isolate=1 needs %1, which is missing").arg(needed);
      return false;
    }
  }
  library.setFileName(proxyFile);
  if (!library.load()) {
    *error =
        QStringLiteral("the phone-library proxy cannot be loaded (%1)").arg(library.errorString());
    return false;
  }
  calls->open = reinterpret_cast<decltype(calls->open)>(library.resolve("KVP_Open"));
  calls->hasCall = reinterpret_cast<decltype(calls->hasCall)>(library.resolve("KVP_HasCall"));
  calls->libraryPath =
      reinterpret_cast<decltype(calls->libraryPath)>(library.resolve("KVP_LibraryPath"));
  calls->takeHostNotes =
      reinterpret_cast<decltype(calls->takeHostNotes)>(library.resolve("KVP_TakeHostNotes"));
  if (calls->open == nullptr || calls->hasCall == nullptr || calls->libraryPath == nullptr ||
      calls->takeHostNotes == nullptr) {
    *error = QStringLiteral("%1 is not the phone-library proxy of this station").arg(proxyFile);
    return false;
  }
  std::vector<char> why(2048, '\0');
  if (calls->open(QFile::encodeName(host).constData(), QFile::encodeName(file).constData(),
                  why.data(), static_cast<int32_t>(why.size())) != KV_OK) {
    *error = QString::fromLocal8Bit(why.data());
    if (error->isEmpty()) *error = QStringLiteral("its host did not start");
    return false;
  }
  return true;
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

QString PhoneLibrary::HostProgram(const QString& executableFolder) {
  return QDir(executableFolder).filePath(QStringLiteral("kestrel-phone-host"));
}

QString PhoneLibrary::ProxyFile(const QString& executableFolder) {
  return QDir(executableFolder).filePath(QStringLiteral("libkestrel-phone-proxy.so"));
}

QString PhoneLibrary::Title() const {
  const QString version = Version();
  QString title = version.isEmpty() ? Name() : Name() + QLatin1Char(' ') + version;
  if (Isolated()) title += QStringLiteral(" (isolated)");
  return title;
}

std::unique_ptr<PhoneLibrary> PhoneLibrary::Load(const QString& requested, QString* error) {
  return Load(requested, false, error);
}

std::unique_ptr<PhoneLibrary> PhoneLibrary::Load(const QString& requested, bool isolate,
                                                 QString* error) {
  const QString executableFolder = ExecutableFolder();
  QString file = requested;
  if (file.isEmpty()) file = DefaultFile(executableFolder);
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
  // Isolated: the proxy is the library loaded here, and the host loads the file.
  ProxyCalls proxy;
  if (isolate) {
    if (!OpenProxy(lib->library_, executableFolder, file, &proxy, error)) return fail(*error);
  } else {
    lib->library_.setFileName(file);
    if (!lib->library_.load()) {
      return fail(
          QStringLiteral("not a library that can be loaded (%1)").arg(lib->library_.errorString()));
    }
  }
  PhoneApi& api = lib->api_;
  QStringList missing;
  // Through the proxy, a call the hosted library lacks is left out as the library's own
  // table would leave it.
#define KESTREL_OXBIND_RESOLVE(name)                                                   \
  api.name = reinterpret_cast<decltype(api.name)>(lib->library_.resolve("KV_" #name)); \
  if (isolate && proxy.hasCall("KV_" #name) == 0) api.name = nullptr;                  \
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
  if (isolate) {
    std::vector<char> path(4096, '\0');
    proxy.libraryPath(path.data(), static_cast<int32_t>(path.size()));
    lib->path_ = QFileInfo(QString::fromLocal8Bit(path.data())).absoluteFilePath();
    api.TakeHostNotes = proxy.takeHostNotes;
  } else {
    lib->path_ = LoadedFrom(reinterpret_cast<const void*>(api.GetLibraryInfo), file);
  }
  return lib;
}

}  // namespace kestrel::device::oxbind
