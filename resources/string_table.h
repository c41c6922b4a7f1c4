// The station's messages, looked up by id (101–186).
//
// One lookup serves every caller. While a language module is installed as the provider it
// answers first; ids it does not carry fall back to the built-in table.
#pragma once

#include <QString>

namespace kestrel::resources {

constexpr int kFirstStringId = 101;
constexpr int kLastStringId = 186;

// Source of translated texts (the loaded language module).
class StringProvider {
 public:
  virtual ~StringProvider() = default;
  // Sets *text and returns true when the provider carries the id.
  virtual bool Lookup(int id, QString* text) const = 0;
};

// The text of a string id: from the provider when one is installed, else built in.
// Unknown ids give an empty text.
QString LoadString(int id);

// The built-in text of an id, ignoring any provider.
QString BuiltInString(int id);

// Installs (or with nullptr removes) the provider. The provider must outlive its use.
void SetStringProvider(StringProvider* provider);
StringProvider* CurrentStringProvider();

}  // namespace kestrel::resources
