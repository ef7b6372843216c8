// SPDX-License-Identifier: MIT
#pragma once
// Reads pcapng files back, in either byte order and in bounded memory (one
// block at a time besides what the caller keeps), and finds its way past
// damage: bytes that hold no whole block in the middle of a file are skipped
// and named with their offset, and a block cut short at the end of a file
// (its writer killed, the disk full) is named as the file's cut tail. Plain C++.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "record/Pcapng.h"

namespace kelvra::Pcapng {

// The bytes do not begin as a pcapng file.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Random access to a file's bytes: fills `into` with up to `n` bytes from
// `offset` and returns how many; fewer only at the end of the file.
using Source = std::function<std::size_t(std::uint64_t offset, std::uint8_t* into, std::size_t n)>;

// A stretch of the file that holds no whole block.
struct Damage {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A block longer than this is taken as damage, so that no length read from a
// file makes the reader hold more.
constexpr std::uint32_t MaxBlockLength = 16u << 20;

class Reader {
public:
    // Throws FormatError when the file's first bytes are not the start of a
    // section (a file cut inside its first block is a cut tail, not an error).
    Reader(Source source, std::uint64_t size);

    struct Block {
        std::uint64_t offset = 0;
        std::uint32_t type = 0;
        std::uint32_t length = 0;
    };
    // The next whole block; nothing at the end of the file.
    std::optional<Block> Next();
    // The bytes between the block's two lengths.
    ByteString Body(const Block& block) const;
    // The values of the present section are in the other byte order.
    bool Swapped() const { return swapped_; }

    const std::vector<Damage>& Damaged() const { return damaged_; }
    const std::optional<Damage>& CutTail() const { return cut_; }

private:
    // The block at `offset` if one is whole there, with its section's byte order.
    std::optional<Block> WholeAt(std::uint64_t offset, bool& swapped) const;
    std::uint32_t Get32(std::uint64_t offset, bool swapped) const;
    // Up to `n` bytes from `offset`, through a window on the file that holds a
    // block's start and end at once: each part of the file is read from the
    // source once or twice, however the blocks and damage lie.
    std::size_t Fetch(std::uint64_t offset, std::uint8_t* into, std::size_t n) const;

    Source source_;
    std::uint64_t size_;
    mutable std::vector<std::uint8_t> window_;
    mutable std::uint64_t windowAt_ = 0;
    // The lowest offset the walk may still look at: the window starts no later.
    mutable std::uint64_t floor_ = 0;
    std::uint64_t at_ = 0;
    bool swapped_ = false;
    std::vector<Damage> damaged_;
    std::optional<Damage> cut_;
};

// Whether the file ends with a whole block, read from its end only (a long
// capture is not walked): nothing when it does, else the cut tail after the
// last whole block found within MaxBlockLength of the end. A file whose end
// holds no recognisable block there is left as it is (nothing).
std::optional<Damage> FindCutTail(const Source& source, std::uint64_t size);

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
    std::uint64_t offset = 0;
    std::string application;
    // The section header's comment (opt_comment).
    std::string comment;
    std::vector<Interface> interfaces;
    // The packets the caller chose to keep.
    std::vector<Packet> packets;
};

struct File {
    std::vector<Section> sections;
    std::vector<Damage> damaged;
    std::optional<Damage> cutTail;
};

// What a walk over a file hands over as it meets it, keeping nothing itself:
// a section's header (without interfaces or packets), then each interface
// and packet of that section.
struct Walker {
    std::function<void(const Section&)> section;
    std::function<void(const Interface&)> interface;
    std::function<void(const Packet&)> packet;
};
// Walks every block, as Read reads them; the result holds the damage and the cut tail, no sections.
File Walk(Reader& reader, const Walker& walker);

// Every section of a file held in memory, with its packets. A whole block
// that does not make sense (a packet of an interface not described, an
// option running past its block) counts as damage at its offset.
File Read(const ByteString& bytes);

}  // namespace kelvra::Pcapng
