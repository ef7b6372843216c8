// SPDX-License-Identifier: MIT
#pragma once
// A serial line on a device server, named as a device: rfc2217://HOST:PORT
// (the server sets the line as the tool asks) or tcp://HOST:PORT (raw bytes,
// the server's own line settings). HOST is a name, an IPv4 address or a
// bracketed IPv6 address. Plain C++: the name rules hold wherever a device is named.

#include <cstdint>
#include <optional>
#include <string>

namespace kelvra {

struct NetworkAddress {
    enum class Scheme { Rfc2217, Tcp };
    Scheme scheme = Scheme::Tcp;
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;

    // "HOST:PORT" as the user wrote it ("[::1]:2217"), for messages.
    std::string HostPort() const;
};

// The address `device` names, if it is one of the two forms; nothing otherwise.
std::optional<NetworkAddress> ParseNetworkAddress(const std::string& device);

}  // namespace kelvra
