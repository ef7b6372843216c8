// SPDX-License-Identifier: MIT
#include "serial/PortMap.h"

#include <cstdlib>

#include "platform/System.h"
#include "serial/DeviceKinds.h"

namespace kelvra {

namespace {
bool Valid(int port) { return port >= 1 && port <= PortMap::Ports; }
}  // namespace

bool PlausibleDevice(const std::string& device) {
    if (device.empty() || device.find_first_of("\r\n") != std::string::npos) return false;
    return DeviceKindOf(device).wellFormed(device);
}

std::string PortVariable(int port) { return "KELVRA_COM" + std::to_string(port); }

void PortMap::SetOption(int port, std::string device) {
    if (Valid(port)) option_[static_cast<std::size_t>(port - 1)] = std::move(device);
}

void PortMap::SetSettings(int port, std::string device) {
    if (Valid(port)) settings_[static_cast<std::size_t>(port - 1)] = std::move(device);
}

PortMapping PortMap::Resolve(int port) const {
    if (Valid(port)) {
        const auto i = static_cast<std::size_t>(port - 1);
        if (!option_[i].empty()) return {option_[i], PortSource::Option};
        if (const char* device = std::getenv(PortVariable(port).c_str()); device != nullptr && PlausibleDevice(device))
            return {device, PortSource::Environment};
        if (!settings_[i].empty()) return {settings_[i], PortSource::Settings};
    }
    return {System::DefaultDevice(port), PortSource::Default};
}

std::string DescribeSource(PortSource source, int port) {
    switch (source) {
    case PortSource::Option: return "from --device";
    case PortSource::Environment: return "from " + PortVariable(port);
    case PortSource::Settings: return "from the settings file";
    case PortSource::Default: break;
    }
    return "the default";
}

std::string DescribeMapping(const PortMapping& mapping, int port) {
    return mapping.device + ", " + DescribeSource(mapping.source, port);
}

}  // namespace kelvra
