// SPDX-License-Identifier: MIT
#include "serial/network/NetworkAddress.h"

namespace kelvra {

namespace {
bool HostNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

bool Ipv6Character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// 1 to 65535, decimal digits only.
std::optional<std::uint16_t> Port(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}
}  // namespace

std::string NetworkAddress::HostPort() const {
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return shown + ":" + std::to_string(port);
}

std::optional<NetworkAddress> ParseNetworkAddress(const std::string& device) {
    NetworkAddress address;
    std::string rest;
    if (device.rfind("rfc2217://", 0) == 0) {
        address.scheme = NetworkAddress::Scheme::Rfc2217;
        rest = device.substr(10);
    } else if (device.rfind("tcp://", 0) == 0) {
        address.scheme = NetworkAddress::Scheme::Tcp;
        rest = device.substr(6);
    } else {
        return std::nullopt;
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return std::nullopt;
        address.host = rest.substr(1, close - 1);
        if (address.host.find(':') == std::string::npos) return std::nullopt;
        for (char c : address.host)
            if (!Ipv6Character(c)) return std::nullopt;
        port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        address.host = rest.substr(0, colon);
        if (address.host.empty()) return std::nullopt;
        for (char c : address.host)
            if (!HostNameCharacter(c)) return std::nullopt;
        if (address.host.front() == '.' || address.host.front() == '-') return std::nullopt;
        port = rest.substr(colon + 1);
    }
    if (address.host.empty() || address.host.size() > 253) return std::nullopt;
    const auto number = Port(port);
    if (!number) return std::nullopt;
    address.port = *number;
    return address;
}

}  // namespace kelvra
