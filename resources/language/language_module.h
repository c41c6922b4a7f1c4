// Loading the language module ResQuillon (see resquillon.h) and answering texts from it.
#pragma once

#include "resources/string_table.h"

#include <QLibrary>
#include <QString>

#include <cstdint>
#include <memory>

namespace kestrel::resources {

class LanguageModule final : public StringProvider {
 public:
  // The module's file name on this platform: "libResQuillon.so" (Linux), "ResQuillon.dll".
  static QString FileName();

  // Loads the module file at `path` (exactly that file; no search). Null when the file is
  // missing, does not load, lacks one of the interface's functions or was built for another
  // interface revision; the reason is in *error when given.
  static std::unique_ptr<LanguageModule> Load(const QString& path, QString* error = nullptr);

  // The module stays mapped after this object goes (the station never unloads it, so texts
  // handed out remain valid).
  ~LanguageModule() override = default;

  bool Lookup(int id, QString* text) const override;
  // A dialog control's text (control 0: the caption); false when the module keeps the built-in.
  bool DialogText(int dialogId, int controlId, QString* text) const;
  std::int32_t Version() const;
  QString LanguageName() const;
  QString path() const { return library_.fileName(); }

 private:
  using IntFn = std::int32_t (*)();
  using NameFn = const char* (*)();
  using StringFn = const char* (*)(std::int32_t);
  using DialogFn = const char* (*)(std::int32_t, std::int32_t);

  LanguageModule() = default;

  QLibrary library_;
  IntFn version_ = nullptr;
  NameFn name_ = nullptr;
  StringFn string_ = nullptr;
  DialogFn dialog_ = nullptr;
};

}  // namespace kestrel::resources
