// SPDX-License-Identifier: MIT
#pragma once
// The frames that pass the line, in words, as the capture's dissector shows
// them in Wireshark's Info column: "Command seq 1: Init local mode",
// "Ack seq 1", "Reply seq 2 (copy 2)". Plain C++.

#include <string>

#include "link/CommGlobal.h"

namespace kelvra {

struct PieceSummary {
    // "PC to phone" or "phone to PC" from a frame's addresses; "line" for bytes outside frames.
    std::string direction;
    std::string text;
    bool frame = false;
    bool badChecksum = false;
};

// Describes the pieces of a line in the order they pass (one frame or the
// bytes around frames each, as FrameJoiner gives them), counting the copies
// of a reply until the next acknowledgement.
class FrameSummaries {
public:
    PieceSummary Describe(const ByteString& piece);

private:
    int copies_ = 0;
};

}  // namespace kelvra
