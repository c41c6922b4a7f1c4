// The numbering rule of the port map, without Qt: the station's port map (port_map.h) and the
// phone library (a library of its own, which reads the same map) both number ports by it.
//
//  - a link in the folder ports/ of the station folder named COM<n> (any case, 1 <= n <= 999)
//    is COM n;
//  - /dev/ttyS<k>, /dev/ttyUSB<k> and /dev/ttyACM<k> (0 <= k <= 999) are COM(1000 + k),
//    COM(2000 + k) and COM(3000 + k): above every link number, and stable across restarts.
#pragma once

#include <string_view>

namespace kestrel::device::ports {

constexpr int kMaxLinkNumber = 999;
constexpr int kTtySBase = 1000;
constexpr int kTtyUsbBase = 2000;
constexpr int kTtyAcmBase = 3000;

namespace numbering {

// The value of 1 to 3 decimal digits, or -1 when `digits` is anything else.
constexpr int SmallNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return -1;
  int n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

constexpr char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace numbering

// The number of a link name "COM<n>" (any case), or 0 when the name is not one.
constexpr int LinkNumberOf(std::string_view fileName) {
  if (fileName.size() < 4) return 0;
  if (numbering::Lower(fileName[0]) != 'c' || numbering::Lower(fileName[1]) != 'o' ||
      numbering::Lower(fileName[2]) != 'm') {
    return 0;
  }
  const int n = numbering::SmallNumber(fileName.substr(3));
  return n >= 1 && n <= kMaxLinkNumber ? n : 0;
}

// The COM number of a system serial device path, or 0 when the path is not one of the
// numbered kinds.
constexpr int SystemPortNumberOf(std::string_view devicePath) {
  constexpr std::string_view kinds[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  constexpr int bases[] = {kTtySBase, kTtyUsbBase, kTtyAcmBase};
  for (int i = 0; i < 3; ++i) {
    if (devicePath.substr(0, kinds[i].size()) != kinds[i]) continue;
    const int k = numbering::SmallNumber(devicePath.substr(kinds[i].size()));
    if (k >= 0) return bases[i] + k;
  }
  return 0;
}

}  // namespace kestrel::device::ports
