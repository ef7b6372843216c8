// One receive stage against whatever the line delivers. First byte: the stage
// (low 2 bits) and TxSeq (the rest); the rest: the line script.

#include "fuzz/LineScript.h"

using namespace kelvra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    test::LinkRig rig;
    rig.link.TxSeq = data[0] >> 2;
    const std::size_t delivered = fuzz::ScheduleLine(rig.line, data + 1, size - 1);

    float timeout = 0.0f;
    std::int32_t result = 0;
    switch (data[0] & 3) {
    case 0: result = rig.stages.RecvEcho(HexToBytes("00016401"), timeout); break;
    case 1: result = rig.stages.RecvAck(timeout); break;
    case 2: result = rig.stages.RecvCmdBlock(timeout); break;
    default: result = rig.stages.RecvAckEcho(timeout); break;
    }
    fuzz::Require(result == 0 || result == 1);
    fuzz::Require(rig.runtime.now <= 10.0);
    fuzz::Require(rig.link.CmdType.size() == 2);
    fuzz::Require(rig.link.RxBuffer.size() <= delivered);
    fuzz::Require(rig.link.CmdBlock.size() <= 255);
    fuzz::Require(rig.view.lines.size() <= 1);
    return 0;
}
