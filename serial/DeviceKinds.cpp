// SPDX-License-Identifier: MIT
#include "serial/DeviceKinds.h"

#include "platform/System.h"
#include "serial/network/NetworkAddress.h"

namespace kelvra {

namespace {
bool NetworkName(const std::string& device) { return ParseNetworkAddress(device).has_value(); }

constexpr DeviceKind Kinds[] = {
    {"rfc2217://", "a device server's rfc2217://HOST:PORT", DeviceComponent::Network, NetworkName, true},
    {"tcp://", "tcp://HOST:PORT", DeviceComponent::Network, NetworkName, true},
    {"", "a device's path, such as /dev/ttyUSB0", DeviceComponent::Local, System::LocalDeviceName, false},
};
}  // namespace

std::span<const DeviceKind> DeviceKinds() { return Kinds; }

const DeviceKind& DeviceKindOf(const std::string& device) {
    for (const DeviceKind& kind : Kinds)
        if (device.rfind(kind.prefix, 0) == 0) return kind;
    return Kinds[std::size(Kinds) - 1];
}

std::string DeviceForms() {
    // The platform's own devices first, as users most often name them.
    std::string forms = Kinds[std::size(Kinds) - 1].form;
    for (std::size_t i = 0; i + 1 < std::size(Kinds); ++i)
        forms += std::string(i + 2 == std::size(Kinds) ? " or " : ", or ") + Kinds[i].form;
    return forms;
}

}  // namespace kelvra
