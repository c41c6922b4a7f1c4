// The port map as the library reads it on POSIX: the links ports/COM<n> of the station folder
// and the numbered system serial devices, by the rule of device/ports/port_numbering.h (the
// station's own port map, device/ports, reads the same map with Qt; a test checks that both
// agree).
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/posix_native.h"
#include "device/ports/port_numbering.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace kestrel::device::oxbind::platform {
namespace {

std::string ExecutableFolder() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The names in a folder, in byte order; none when it cannot be read.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Milliseconds since the epoch of the last change of a directory entry itself (not of what a
// link points to); 0 when there is none.
int64_t EntryChangedMs(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  const int64_t mtime =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  const int64_t ctime =
      static_cast<int64_t>(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000;
  return std::max(mtime, ctime);
}

// Where a link points, as an absolute path (a relative target is taken from the link's folder);
// the path itself when it is no link.
std::string LinkTarget(const std::string& folder, const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof(buffer) - 1);
  if (n <= 0) return path;
  std::string target(buffer, static_cast<std::size_t>(n));
  return target[0] == '/' ? target : folder + '/' + target;
}

// A /dev/ttyS<k> node exists for every possible 8250 line; only those with a UART behind them
// (sysfs "type" other than 0) are ports.
bool TtySHasUart(const std::string& name) {
  std::FILE* f = std::fopen(("/sys/class/tty/" + name + "/type").c_str(), "r");
  if (f == nullptr) return false;
  int value = 0;
  const bool read = std::fscanf(f, "%d", &value) == 1;
  std::fclose(f);
  return read && value != 0;
}

bool SystemKind(const std::string& name) {
  for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
    if (name.compare(0, std::char_traits<char>::length(prefix), prefix) == 0) return true;
  }
  return false;
}

}  // namespace

std::string LinkFolder() {
  const std::string station = GetEnv("KESTREL_STATION_DIR");
  return (station.empty() ? ExecutableFolder() : station) + "/ports";
}

std::vector<PortEntry> ListPorts() {
  std::map<int, PortEntry> byNumber;

  const std::string links = LinkFolder();
  for (const std::string& name : Names(links)) {
    const int n = ports::LinkNumberOf(name);
    if (n == 0 || byNumber.count(n) != 0) continue;
    const std::string path = links + '/' + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;  // the target must exist
    PortEntry p;
    p.number = n;
    p.device = path;
    p.changedMs = std::max(EntryChangedMs(path), EntryChangedMs(LinkTarget(links, path)));
    byNumber.emplace(n, p);
  }

  if (GetEnv("KESTREL_SYSTEM_PORTS") != "0") {
    for (const std::string& name : Names("/dev")) {
      if (!SystemKind(name)) continue;
      const std::string path = "/dev/" + name;
      const int n = ports::SystemPortNumberOf(path);
      if (n == 0 || byNumber.count(n) != 0) continue;
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
      if (::access(path.c_str(), R_OK | W_OK) != 0) continue;
      if (n < ports::kTtyUsbBase && !TtySHasUart(name)) continue;
      PortEntry p;
      p.number = n;
      p.device = path;
      p.changedMs = EntryChangedMs(path);
      byNumber.emplace(n, p);
    }
  }

  std::vector<PortEntry> result;
  result.reserve(byNumber.size());
  for (auto& entry : byNumber) result.push_back(std::move(entry.second));
  return result;
}

bool FindPort(int number, PortEntry* entry) {
  if (number <= 0) return false;
  for (PortEntry& p : ListPorts()) {
    if (p.number == number) {
      *entry = std::move(p);
      return true;
    }
  }
  return false;
}

void PutModeWaitMarker(const std::string& text) {
  const std::string folder = LinkFolder();
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0777);
  }
  ::mkdir(folder.c_str(), 0777);
  std::FILE* f = std::fopen((folder + "/.mode-wait").c_str(), "w");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void RemoveModeWaitMarker() {
  std::remove((LinkFolder() + "/.mode-wait").c_str());
}

}  // namespace kestrel::device::oxbind::platform
