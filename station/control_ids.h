// The ids of the station window's controls. Every control carries its id as the dynamic
// property "controlId" (StationController::Control finds it by id).
#pragma once

namespace kestrel::station::ids {

constexpr int kSetting = 1003;
constexpr int kWrite = 1004;
constexpr int kImei2 = 1014;
constexpr int kBluetooth = 1015;
constexpr int kImei3 = 1016;
constexpr int kSn2 = 1021;
constexpr int kImei1 = 1022;
constexpr int kRead = 1023;
constexpr int kImei4 = 1025;
constexpr int kResult = 1026;
constexpr int kSn1 = 1027;
constexpr int kSn1Label = 1028;
constexpr int kSn2Label = 1029;
constexpr int kStop = 1030;
constexpr int kPassCount = 1033;
constexpr int kFailCount = 1034;
constexpr int kYield = 1035;
constexpr int kWifi = 1036;
constexpr int kPortIndicator = 1054;
constexpr int kPortList = 1056;
constexpr int kMode = 1057;
constexpr int kStatusLine = 1058;
constexpr int kFrame = 1073;
constexpr int kFirstCuRef = 1093;  // 24 one-character edits, 1093 ... 1116
constexpr int kLastCuRef = 1116;
constexpr int kCuRefCount = kLastCuRef - kFirstCuRef + 1;
constexpr int kApVersion = 1117;
constexpr int kHelp = 1119;
constexpr int kUid1 = 1125;
constexpr int kUid2 = 1126;
constexpr int kHash1 = 1127;  // 1127 ... 1131
constexpr int kHash5 = 1131;
constexpr int kUidLabel = 1136;
constexpr int kHashLabel = 1137;
// Beyond the window's original controls: the countdown under the result.
constexpr int kCountdown = 1150;

// The system-menu command of the About item.
constexpr int kAboutCommand = 16;

}  // namespace kestrel::station::ids
