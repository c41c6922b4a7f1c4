// A phone library held by kestrel-phone-host, loaded as the station loads it with [PHONE]
// Isolate=1 (the table is the proxy's), with the proxy's own calls that the tests look at.
// One hosted library a process: the proxy's calls are process-wide.
#pragma once

#include "device/oxbind/host/phone_proxy.h"
#include "device/oxbind_loader/phone_library.h"
#include "tests/support/test_support.h"

#include <QLibrary>

#include <memory>
#include <string>

namespace kestrel::testing {

struct HostedLibrary {
  std::unique_ptr<device::oxbind::PhoneLibrary> library;
  const device::oxbind::PhoneApi* kv = nullptr;
  decltype(&::KVP_HostProcessId) hostProcessId = nullptr;

  // False with *error when the library (or the proxy) cannot be loaded.
  bool Load(const QString& file, QString* error) {
    library = device::oxbind::PhoneLibrary::Load(file, true, error);
    if (!library) return false;
    kv = &library->Api();
    QLibrary proxy(device::oxbind::PhoneLibrary::ProxyFile(BinDir()));  // loaded already
    hostProcessId = reinterpret_cast<decltype(hostProcessId)>(proxy.resolve("KVP_HostProcessId"));
    if (hostProcessId == nullptr) *error = QStringLiteral("no KVP_HostProcessId");
    return hostProcessId != nullptr;
  }

  // What happened to the host since the last take.
  std::string TakeNotes() const {
    char text[2048] = {};
    kv->TakeHostNotes(text, sizeof(text));
    return text;
  }
};

}  // namespace kestrel::testing
