// SPDX-License-Identifier: MIT
#pragma once

#include "commands/CmdSets.h"
#include "link/CommGlobal.h"
#include "link/M2BUS.h"
#include "link/PortControl.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {

// The link and the command set with their start-up values on an open fake
// line and the virtual clock.
struct LinkRig {
    LinkRig() {
        InitLinkSettings(link);
        InitLinkConsts(link);
        line.open = true;
    }

    FakeRuntime runtime;
    FakeSerial line{runtime};
    RecordingView view;
    LinkState link;
    PortControl port{link, line, runtime, view};
    M2Bus bus{link, line, runtime, view, port};
    Receiver& stages = bus.Stages();
    CmdSets cmds{bus, link, view};
};

}  // namespace kelvra::test
