// SPDX-License-Identifier: MIT
#pragma once
// Turns fuzzer input into the phone's side of the line: a series of chunks,
// each a header byte (low 5 bits: length - 1; high 3 bits: pause before it in
// half seconds) followed by its bytes, delivered on the virtual clock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/LinkRig.h"

namespace kelvra::fuzz {

// What the line script delivers: each chunk with its time.
struct Chunk {
    double at;
    Bytes bytes;
};

// The bytes delivered by `time`, in order.
inline Bytes DeliveredBy(const std::vector<Chunk>& chunks, double time) {
    Bytes all;
    for (const Chunk& chunk : chunks)
        if (chunk.at <= time) all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
    return all;
}

inline std::size_t ScheduleLine(test::FakeSerial& line, const std::uint8_t* data, std::size_t size,
                                std::vector<Chunk>* chunks = nullptr) {
    std::size_t delivered = 0;
    double at = 0.0;
    while (size > 0) {
        const std::uint8_t header = *data++;
        --size;
        const std::size_t length = std::min<std::size_t>((header & 0x1F) + 1u, size);
        at += 0.5 * (header >> 5);
        line.Deliver(Bytes(data, data + length), at);
        if (chunks != nullptr) chunks->push_back({at, Bytes(data, data + length)});
        data += length;
        size -= length;
        delivered += length;
    }
    return delivered;
}

// Stops the run as a finding when an invariant does not hold.
inline void Require(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace kelvra::fuzz
