// SPDX-License-Identifier: MIT
#pragma once

#include "commands/NetMonitor.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {

// The link and the command set, wired as the program wires them, with their
// start-up values on an open fake line and the virtual clock.
struct LinkRig {
    LinkRig() {
        monitor.InitLink();
        line.open = true;
    }

    FakeRuntime runtime;
    FakeSerial line{runtime};
    RecordingView view;
    NetMonitor monitor{line, runtime, view};
    LinkState& link = monitor.link;
    PortControl& port = monitor.port;
    M2Bus& bus = monitor.bus;
    Receiver& stages = bus.Stages();
    CmdSets& cmds = monitor.cmds;
};

}  // namespace kelvra::test
