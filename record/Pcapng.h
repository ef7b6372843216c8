// SPDX-License-Identifier: MIT
#pragma once
// The pcapng capture file format, as far as a capture of the serial line
// needs it: blocks built as values (PcapngReader reads them back). Plain C++.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/CommGlobal.h"

namespace kelvra::Pcapng {

// LINKTYPE_USER0: a link type of the capture's own, the line's records.
constexpr std::uint16_t LinkTypeUser0 = 147;

// The direction bits of an Enhanced Packet Block's flags.
namespace Direction {
constexpr std::uint32_t Inbound = 1;
constexpr std::uint32_t Outbound = 2;
}  // namespace Direction

// A Section Header Block naming the program that wrote it (shb_userappl),
// with a comment (opt_comment) unless `comment` is empty.
ByteString SectionBlock(const std::string& application, const std::string& comment = {});
// An Interface Description Block with if_name, if_description and a time
// resolution of microseconds.
ByteString InterfaceBlock(std::uint16_t linkType, const std::string& name, const std::string& description);
// An Enhanced Packet Block with the direction flags (epb_flags).
ByteString PacketBlock(std::uint32_t interface, std::uint64_t microseconds, const ByteString& data,
                       std::uint32_t flags);

constexpr std::uint32_t SectionHeaderType = 0x0A0D0D0A;
constexpr std::uint32_t InterfaceType = 1;
constexpr std::uint32_t EnhancedPacketType = 6;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;

// The option codes the capture writes and reads.
constexpr std::uint16_t EndOfOptions = 0;
constexpr std::uint16_t OptComment = 1;
constexpr std::uint16_t ShbUserAppl = 4;
constexpr std::uint16_t IfName = 2;
constexpr std::uint16_t IfDescription = 3;
constexpr std::uint16_t IfTsResol = 9;
constexpr std::uint16_t EpbFlags = 2;

// Blocks and options are padded to whole 32-bit words.
constexpr std::size_t Padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

}  // namespace kelvra::Pcapng
