// The system's stable names for serial devices: the links of /dev/serial/by-id, which udev
// names after the adapter or phone (vendor, product, serial number, interface), so that a
// name stays with the cable whichever USB socket it is plugged into while the /dev/ttyUSB<k>
// or /dev/ttyACM<k> it points to changes.
#pragma once

#include <QString>

#include <vector>

namespace kestrel::device::ports {

// /dev/serial/by-id, or the folder named by the environment variable KESTREL_SERIAL_BY_ID.
QString ByIdFolder();

struct SerialDevice {
  QString byIdName;  // the link's name, e.g. "usb-FTDI_FT232R_USB_UART_A10K-if00-port0"
  QString byIdPath;  // ByIdFolder() + "/" + byIdName
  QString device;    // what the link points to now, canonical ("/dev/ttyUSB0")
};

// Every link of ByIdFolder() whose target exists, in name order.
std::vector<SerialDevice> SerialDevices();

// The by-id path for DEVICE: a name in ByIdFolder(), a path in it, or a device path (any
// link to one) that a by-id link points to now. Empty when there is none.
QString ByIdPathFor(const QString& device);

// The name of the kernel driver behind a tty device (its sysfs device's driver, e.g.
// "ftdi_sio", "cdc_acm", "serial8250"); empty when it has none (a pseudo-terminal).
QString DriverOf(const QString& devicePath);

}  // namespace kestrel::device::ports
