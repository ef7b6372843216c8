// SPDX-License-Identifier: MIT
// The serial devices Windows reports: each COM port with its friendly name,
// maker, USB vendor:product and serial number.
#include "serial/Devices.h"

#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

namespace kelvra {

namespace {

QString Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr))
        return {};
    return QString::fromWCharArray(text);
}

// The port's name (COM3) from its device key.
QString PortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t);
    const bool read = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size) ==
                      ERROR_SUCCESS;
    RegCloseKey(key);
    return read ? QString::fromWCharArray(name) : QString();
}

}  // namespace

std::vector<SerialDevice> SerialDevices() {
    std::vector<SerialDevice> found;
    // Ports, and modems: a phone's own USB serial function (usbser) often installs as a modem with a COM port.
    for (const GUID& kind : {GUID_DEVCLASS_PORTS, GUID_DEVCLASS_MODEM}) {
        HDEVINFO devices = SetupDiGetClassDevsW(&kind, nullptr, nullptr, DIGCF_PRESENT);
        if (devices == INVALID_HANDLE_VALUE) continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
            const QString port = PortName(devices, device);
            if (!port.startsWith(QLatin1String("COM"))) continue;
            SerialDevice serial{port, Property(devices, device, SPDRP_FRIENDLYNAME),
                                Property(devices, device, SPDRP_MFG), {}, {}, {}};
            wchar_t instance[512] = {};
            SetupDiGetDeviceInstanceIdW(devices, &device, instance, 511, nullptr);
            const UsbIdentity usb = ParseInstanceId(QString::fromWCharArray(instance));
            serial.usbId = usb.usbId;
            serial.serialNumber = usb.serialNumber;
            found.push_back(std::move(serial));
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    return found;
}

}  // namespace kelvra
