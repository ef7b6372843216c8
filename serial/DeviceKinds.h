// SPDX-License-Identifier: MIT
#pragma once
// The kinds of device a port can stand for, in one table: how a name is
// recognised and checked, which component serves it, how the help and the
// capture source describe it. Plain C++: the rules hold wherever a device is named.

#include <span>
#include <string>

namespace kelvra {

// The serial components, one per kind of line; SerialSwitch makes one of each.
enum class DeviceComponent { Local, Network };
constexpr int DeviceComponents = 2;

struct DeviceKind {
    // "rfc2217://"; empty for the platform's own devices, which take every other name.
    const char* prefix;
    // As usage texts show it: "a device server's rfc2217://HOST:PORT".
    const char* form;
    DeviceComponent component;
    // Whether `device` (which begins with the prefix) is a well-formed name of this kind.
    bool (*wellFormed)(const std::string& device);
    // Listed as there without looking: only connecting to a server would tell.
    bool presentUnseen;
};

// Every kind, the platform's own devices last.
std::span<const DeviceKind> DeviceKinds();
// The kind `device` is written as.
const DeviceKind& DeviceKindOf(const std::string& device);
// For usage texts: "a device's path, such as /dev/ttyUSB0, or a device server's rfc2217://HOST:PORT or tcp://HOST:PORT".
std::string DeviceForms();

}  // namespace kelvra
