#include "resources/language/language_module.h"

#include "resources/language/resquillon.h"

#include <QFileInfo>

namespace kestrel::resources {
namespace {

QString FromModule(const char* text) {
  return QString::fromUtf8(text);
}

}  // namespace

QString LanguageModule::FileName() {
#if defined(_WIN32)
  return QStringLiteral("ResQuillon.dll");
#elif defined(__APPLE__)
  return QStringLiteral("libResQuillon.dylib");
#else
  return QStringLiteral("libResQuillon.so");
#endif
}

std::unique_ptr<LanguageModule> LanguageModule::Load(const QString& path, QString* error) {
  auto fail = [error](const QString& why) {
    if (error != nullptr) *error = why;
    return std::unique_ptr<LanguageModule>();
  };
  // QLibrary would try other names and folders for a missing file; only this file counts.
  if (!QFileInfo(path).isFile()) return fail(QStringLiteral("no such file: ") + path);

  std::unique_ptr<LanguageModule> module(new LanguageModule());
  module->library_.setFileName(QFileInfo(path).absoluteFilePath());
  if (!module->library_.load()) return fail(module->library_.errorString());

  auto resolve = [&module](const char* name) { return module->library_.resolve(name); };
  const auto interfaceFn = reinterpret_cast<IntFn>(resolve("ResQuillon_Interface"));
  module->version_ = reinterpret_cast<IntFn>(resolve("ResQuillon_Version"));
  module->name_ = reinterpret_cast<NameFn>(resolve("ResQuillon_LanguageName"));
  module->string_ = reinterpret_cast<StringFn>(resolve("ResQuillon_String"));
  module->dialog_ = reinterpret_cast<DialogFn>(resolve("ResQuillon_DialogText"));
  if (interfaceFn == nullptr || module->version_ == nullptr || module->name_ == nullptr ||
      module->string_ == nullptr || module->dialog_ == nullptr) {
    module->library_.unload();
    return fail(QStringLiteral("not a language module: ") + path);
  }
  if (interfaceFn() != RESQUILLON_INTERFACE) {
    module->library_.unload();
    return fail(QStringLiteral("language module of another interface revision: ") + path);
  }
  return module;
}

bool LanguageModule::Lookup(int id, QString* text) const {
  const char* t = string_(id);
  if (t == nullptr) return false;
  *text = FromModule(t);
  return true;
}

bool LanguageModule::DialogText(int dialogId, int controlId, QString* text) const {
  const char* t = dialog_(dialogId, controlId);
  if (t == nullptr) return false;
  *text = FromModule(t);
  return true;
}

std::int32_t LanguageModule::Version() const {
  return version_();
}

QString LanguageModule::LanguageName() const {
  const char* n = name_();
  return n == nullptr ? QString() : FromModule(n);
}

}  // namespace kestrel::resources
