// SPDX-License-Identifier: MIT
// A whole transaction, R&D test On after the port has been opened, against
// whatever the line delivers: the input is the line script.

#include "fuzz/LineScript.h"

using namespace kelvra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::LinkRig rig;
    const std::size_t delivered = fuzz::ScheduleLine(rig.line, data, size);

    const std::int32_t result = rig.bus.SendCommand("00017EF3");
    fuzz::Require(result == 0 || result == 1);
    fuzz::Require(rig.runtime.now <= 50.0);  // five stages at most, ten seconds each
    fuzz::Require(rig.link.TxSeq == 1);
    fuzz::Require(rig.link.CmdType.size() == 2);
    if (result == 0) fuzz::Require(rig.link.CmdType == Bytes({0x40, 0x00}));
    fuzz::Require(rig.link.RxBuffer.size() <= delivered);
    fuzz::Require(rig.line.written.size() <= 3);
    if (result == 1) fuzz::Require(rig.line.written.size() == 3);
    return 0;
}
