// SPDX-License-Identifier: MIT
#pragma once
// The pcapng capture file format, as far as a capture of the serial line
// needs it: blocks built as values, and a whole file read back. Plain C++.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "link/CommGlobal.h"

namespace kelvra::Pcapng {

// LINKTYPE_USER0: a link type of the capture's own, the line's records.
constexpr std::uint16_t LinkTypeUser0 = 147;

// The direction bits of an Enhanced Packet Block's flags.
namespace Direction {
constexpr std::uint32_t Inbound = 1;
constexpr std::uint32_t Outbound = 2;
}  // namespace Direction

// A Section Header Block naming the program that wrote it (shb_userappl).
ByteString SectionBlock(const std::string& application);
// An Interface Description Block with if_name, if_description and a time
// resolution of microseconds.
ByteString InterfaceBlock(std::uint16_t linkType, const std::string& name, const std::string& description);
// An Enhanced Packet Block with the direction flags (epb_flags).
ByteString PacketBlock(std::uint32_t interface, std::uint64_t microseconds, const ByteString& data,
                       std::uint32_t flags);

struct Interface {
    std::uint16_t linkType = 0;
    std::string name;
    std::string description;
    // Digits after the second: 6 for microseconds.
    int timeResolution = 6;
};

struct Packet {
    std::uint32_t interface = 0;
    std::uint64_t time = 0;
    std::uint32_t flags = 0;
    ByteString data;
};

struct Section {
    std::string application;
    std::vector<Interface> interfaces;
    std::vector<Packet> packets;
};

struct File {
    std::vector<Section> sections;
    // The last block was cut short (its writer was killed) and is left out.
    bool truncated = false;
};

class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads every block of a file written in this machine's byte order. Throws
// FormatError for anything that is not such a file: a wrong magic number, a
// block whose lengths disagree, an option running past its block, a packet
// naming an interface not described.
File Read(const ByteString& bytes);

}  // namespace kelvra::Pcapng
