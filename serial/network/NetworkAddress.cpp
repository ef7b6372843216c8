// SPDX-License-Identifier: MIT
#include "serial/network/NetworkAddress.h"

#include <charconv>
#include <string_view>

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
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.size() > 5 || error != std::errc() || stop != end || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}
}  // namespace

std::string NetworkAddress::HostPort() const {
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return shown + ":" + std::to_string(port);
}

std::optional<NetworkAddress> ParseNetworkAddress(const std::string& device) {
    NetworkAddress address;
    using Scheme = NetworkAddress::Scheme;
    const std::string_view prefix = device.rfind("rfc2217://", 0) == 0 ? "rfc2217://"
                                    : device.rfind("tcp://", 0) == 0   ? "tcp://"
                                                                       : "";
    if (prefix.empty()) return std::nullopt;
    address.scheme = prefix == "tcp://" ? Scheme::Tcp : Scheme::Rfc2217;
    const std::string rest = device.substr(prefix.size());
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
