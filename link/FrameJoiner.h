// SPDX-License-Identifier: MIT
#pragma once
// Line bytes arrive in pieces that rarely match frame bounds (a byte takes
// 1.15 ms at 9600 baud, and USB adapters hand bytes over in bursts). The
// joiner holds a frame until its last byte has come, so that every reader of
// the line sees one piece per frame, cut as FramePieces cuts them.

#include <cstdint>
#include <utility>
#include <vector>

#include "link/CommGlobal.h"

namespace kelvra {

class FrameJoiner {
public:
    struct Piece {
        ByteString bytes;
        // When its first byte arrived.
        std::uint64_t time = 0;
        // It begins with a frame start; otherwise bytes around frames.
        bool frame = false;
    };

    // Bytes that arrived at `time`; returns the pieces now complete, in order.
    // A frame that has not ended yet, and the first bytes of what may be a
    // frame start, are held for the next bytes.
    std::vector<Piece> Add(const ByteString& bytes, std::uint64_t time);
    // Whatever is held, as it stands (the port closes, a line event comes).
    std::vector<Piece> Flush();
    bool Holding() const { return !held_.empty(); }

private:
    ByteString held_;
    // Where each arrival begins in held_, and when it came.
    std::vector<std::pair<std::size_t, std::uint64_t>> arrivals_;
};

}  // namespace kelvra
