// Loading a phone library: the station, kestrel-cli and the benchmarks take the library named
// by the settings (or the one installed with Kestrel), check that it is one of this interface,
// and resolve every KV_ call into one table before the first call.
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <memory>

namespace kestrel::device::oxbind {

class PhoneLibrary {
 public:
  // The file name of Kestrel's own library (its SONAME).
  static QString OwnFileName();
  // The library used when none is named: Kestrel's own beside the executable when it is
  // there, else in the multiarch library folder beside the executable's folder (the package's
  // layout: /usr/lib/kestrel and /usr/lib/<multiarch>), else by its file name alone, which the
  // system's loader looks up.
  static QString DefaultFile(const QString& executableFolder);

  // Loads `file` (empty: DefaultFile of the running executable's folder) and resolves its
  // calls. Null with *error saying which file and what is wrong: missing, not a library, a
  // required call it lacks, an ABI major other than this station's. A loaded library is
  // never unloaded (its threads may outlive any owner).
  static std::unique_ptr<PhoneLibrary> Load(const QString& file, QString* error);
  // The same with `isolate` ([PHONE] Isolate=1): the library is loaded into a host process of
  // its own (kestrel-phone-host beside the executable) and its calls are those of the
  // phone-library proxy (libkestrel-phone-proxy.so beside it), which forwards each one. The
  // checks and their messages are the same; Path() is the file the host loaded.
  static std::unique_ptr<PhoneLibrary> Load(const QString& file, bool isolate, QString* error);
  // The host program and the proxy the running executable would use.
  static QString HostProgram(const QString& executableFolder);
  static QString ProxyFile(const QString& executableFolder);

  const PhoneApi& Api() const { return api_; }
  // The path the library was loaded from (as the system's loader found it).
  const QString& Path() const { return path_; }
  QString Name() const { return QString::fromUtf8(api_.info.name); }
  QString Version() const { return QString::fromUtf8(api_.info.version); }
  // "Kestrel Oxbind 1.0.0.1" (name and version as the library reports them), with
  // " (isolated)" after them for a library in a host process of its own.
  QString Title() const;
  bool Isolated() const { return api_.Isolated(); }
  // The optional calls the library lacks ("KV_ReadStationRecord", ...).
  const QStringList& MissingOptional() const { return missingOptional_; }

 private:
  PhoneLibrary() = default;

  QLibrary library_;
  PhoneApi api_;
  QString path_;
  QStringList missingOptional_;
};

}  // namespace kestrel::device::oxbind
