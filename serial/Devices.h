// SPDX-License-Identifier: MIT
#pragma once
// The serial devices present, as each platform finds them, and the hint that
// names the USB adapters among them.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace kelvra {

// A serial device present on this machine.
struct SerialDevice {
    QString path;
    QString description;
    QString maker;
    QString usbId;  // vendor:product in hex, empty when not a USB device
    QString serialNumber;
    QStringList aliases;  // other names of it, such as /dev/serial/by-id/...
};
std::vector<SerialDevice> SerialDevices();

// What a Windows device instance ID says of a serial port: the USB
// vendor:product in lower-case hex and the adapter's serial number, each
// empty when it does not say. Both forms are understood: Windows' own
// "USB\VID_0403&PID_6001\A50285BI" and the FTDI driver's
// "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000" (its serial number with the
// port's letter appended).
struct UsbIdentity {
    QString usbId;
    QString serialNumber;
};
UsbIdentity ParseInstanceId(const QString& instanceId);

// A line naming the USB serial adapters among `present` and how to map one
// to Com<port>; empty when there are none or `device` is one of them.
std::string AdapterHint(const std::string& device, int port, const std::vector<SerialDevice>& present);

}  // namespace kelvra
