// SPDX-License-Identifier: MIT
// One receive stage against whatever the line delivers. First byte: the stage
// (low 2 bits) and TxSeq (the rest); the rest: the line script.

#include <algorithm>

#include "fuzz/LineScript.h"

using namespace kelvra;

namespace {

// Whether the bytes delivered so far justify a wait that ended before its
// deadline: its frame start is in, and enough bytes counted from there.
bool EarlyEndJustified(int stage, const Bytes& delivered) {
    const Bytes start = stage == 0 || stage == 3 ? Bytes{0x1F, 0x00, 0x10} : Bytes{0x1F, 0x10, 0x00};
    const auto found = std::search(delivered.begin(), delivered.end(), start.begin(), start.end());
    if (found == delivered.end()) return false;
    const auto have = static_cast<std::size_t>(delivered.end() - found);
    switch (stage) {
    case 0: return have >= 12;
    case 2: return have > 7 && have >= 3 * (static_cast<std::size_t>(found[5]) + 8);
    default: return have >= 6;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    test::LinkRig rig;
    rig.link.TxSeq = data[0] >> 2;
    std::vector<fuzz::Chunk> chunks;
    const std::size_t delivered = fuzz::ScheduleLine(rig.line, data + 1, size - 1, &chunks);

    const int stage = data[0] & 3;
    float timeout = 0.0f;
    std::int32_t result = 0;
    switch (stage) {
    case 0: result = rig.stages.RecvEcho(HexToBytes("00016401"), timeout); break;
    case 1: result = rig.stages.RecvAck(timeout); break;
    case 2: result = rig.stages.RecvCmdBlock(timeout); break;
    default: result = rig.stages.RecvAckEcho(timeout); break;
    }
    fuzz::Require(result == 0 || result == 1);
    fuzz::Require(rig.runtime.now <= 10.0);
    if (rig.runtime.now < 10.0) fuzz::Require(EarlyEndJustified(stage, fuzz::DeliveredBy(chunks, rig.runtime.now)));
    fuzz::Require(rig.link.CmdType.size() == 2);
    if (result == 0) fuzz::Require(rig.link.CmdType == Bytes({0x40, 0x00}));
    fuzz::Require(rig.link.RxBuffer.size() <= delivered);
    fuzz::Require(rig.link.CmdBlock.size() <= 255);
    fuzz::Require(rig.view.lines.size() <= 1);
    return 0;
}
