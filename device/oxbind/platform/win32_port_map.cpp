// The COM ports of a Windows system, under their own numbers (there is no port map here): the
// serial devices the system lists under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, and the MS-DOS
// device names COM<n> it knows. (Under Wine both come from the prefix's key
// HKLM\Software\Wine\Ports, whose ports Wine links as dosdevices/com<n>.)
//
// Windows keeps no time of change for a port, so the library stamps an entry when it first
// sees the port under its current device: a port that appeared, or came back as another
// device, sorts as new.
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/win32_native.h"
#include "device/ports/port_numbering.h"

#include <map>
#include <mutex>
#include <vector>

namespace kestrel::device::oxbind::platform {
namespace {

int64_t EpochMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>((ticks - 116444736000000000ull) / 10000);  // 100 ns since 1601
}

std::string DeviceName(int number) {
  return "\\\\.\\COM" + std::to_string(number);
}

// The system's ports: COM number -> what the system calls the device behind it.
std::map<int, std::string> SystemPorts() {
  std::map<int, std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char name[256];
      char data[256];
      DWORD nameSize = sizeof(name);
      DWORD dataSize = sizeof(data) - 1;
      DWORD type = 0;
      const LONG r = RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &dataSize);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS || type != REG_SZ) continue;
      data[dataSize] = '\0';
      const int n = ports::LinkNumberOf(data);
      if (n != 0) ports.emplace(n, name);
    }
    RegCloseKey(key);
  }
  // Every MS-DOS device name, NUL-separated; the buffer grows until the list fits.
  std::vector<char> names(16384);
  for (;;) {
    const DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (got != 0) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22)) {
      names.assign(1, '\0');
      break;
    }
    names.assign(names.size() * 4, '\0');
  }
  for (const char* p = names.data(); *p != '\0'; p += std::char_traits<char>::length(p) + 1) {
    const int n = ports::LinkNumberOf(p);
    if (n == 0 || ports.count(n) != 0) continue;
    char target[512];
    ports.emplace(n, QueryDosDeviceA(p, target, sizeof(target)) != 0 ? target : p);
  }
  return ports;
}

struct Seen {
  std::string device;
  int64_t sinceMs = 0;
};

std::mutex seenMutex;
std::map<int, Seen> seen;  // the ports of the last listing, each with when it was first seen

std::string StationFolder() {
  const std::string station = GetEnv("KESTREL_STATION_DIR");
  if (!station.empty()) return station;
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string exe(path, n < MAX_PATH ? n : 0);
  const std::size_t slash = exe.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

std::string MarkerPath() {
  return StationFolder() + "\\ports\\.mode-wait";
}

}  // namespace

std::vector<PortEntry> ListPorts() {
  const std::map<int, std::string> present = SystemPorts();
  const int64_t now = EpochMs();
  std::vector<PortEntry> result;
  std::lock_guard lock(seenMutex);
  std::map<int, Seen> next;
  for (const auto& [number, device] : present) {
    auto it = seen.find(number);
    Seen s = it != seen.end() && it->second.device == device ? it->second : Seen{device, now};
    PortEntry p;
    p.number = number;
    p.device = DeviceName(number);
    p.changedMs = s.sinceMs;
    result.push_back(std::move(p));
    next.emplace(number, std::move(s));
  }
  seen = std::move(next);
  return result;
}

// A COM number needs no listing to be opened: the system resolves \\.\COM<n> itself, and
// opening fails for a port that is not there.
bool FindPort(int number, PortEntry* entry) {
  if (number <= 0 || number > ports::kMaxLinkNumber) return false;
  entry->number = number;
  entry->device = DeviceName(number);
  std::lock_guard lock(seenMutex);
  auto it = seen.find(number);
  entry->changedMs = it != seen.end() ? it->second.sinceMs : 0;
  return true;
}

void PutModeWaitMarker(const std::string& text) {
  const std::string path = MarkerPath();
  for (std::size_t sep = path.find_first_of("\\/", 1); sep != std::string::npos;
       sep = path.find_first_of("\\/", sep + 1)) {
    CreateDirectoryA(path.substr(0, sep).c_str(), nullptr);
  }
  const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

void RemoveModeWaitMarker() {
  DeleteFileA(MarkerPath().c_str());
}

}  // namespace kestrel::device::oxbind::platform
