// The port map: which serial device each COM number stands for.
//
// Two sources, merged:
//  - links: the folder ports/ of the station folder holds symbolic links named COM<n> (any
//    case, 1 <= n <= 999) to serial devices; a link gives its own n. A link whose target does
//    not exist is no port.
//  - system serial devices: /dev/ttyS<k> (only those with a real UART behind them),
//    /dev/ttyUSB<k> and /dev/ttyACM<k> (0 <= k <= 999) are COM(1000 + k), COM(2000 + k) and
//    COM(3000 + k). These numbers lie above every link number, so the two never collide, and
//    they depend only on the device name, so they are stable across restarts.
// Setting KESTREL_SYSTEM_PORTS=0 in the environment leaves the system devices out (tests,
// simulator-only stations). The phone library reads the same map with a lookup of its own.
#pragma once

#include "device/ports/port_numbering.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kestrel::device::ports {

// The station folder whose ports/ folder holds the links. Until it is set, the environment
// variable KESTREL_STATION_DIR is used, and without that the running executable's folder.
// Setting it also sets KESTREL_STATION_DIR (an empty folder unsets it), which is how the phone
// library, loaded apart, finds the same map: call it before any phone-library call is in
// progress.
void SetStationFolder(const QString& folder);
QString StationFolder();
// The folder of links: <station folder>/ports.
QString LinkFolder();

struct PortInfo {
  int number = 0;           // the COM number
  QString name;             // "COM<n>"
  QString device;           // the device path opened for the port
  QString description;      // "link ports/COM3 -> /dev/pts/4", "serial device /dev/ttyUSB0"
  qint64 changedMsecs = 0;  // when the entry last changed (link or device node), ms since epoch
};

// Every port of the map in ascending COM number; for one number the link wins (it cannot
// collide with a system device, but two links "COM3" and "com3" can: the first name in
// byte order wins).
std::vector<PortInfo> EnumeratePorts();

// The names "COM<n>" of EnumeratePorts(), in the same order.
QStringList PortNames();

// The device path for a COM number; empty when the number is not in the map.
QString ResolvePort(int number);

// The number of a link name "COM<n>" (any case), or 0 when the name is not one.
int LinkNumber(const QString& fileName);
// The COM number of a system serial device path by the rule above, or 0 when the path is
// not one of the numbered kinds. Both by the rule of port_numbering.h.
int SystemPortNumber(const QString& devicePath);

}  // namespace kestrel::device::ports
