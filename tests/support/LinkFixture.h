#pragma once

#include <gtest/gtest.h>

#include "commands/CmdSets.h"
#include "link/CommGlobal.h"
#include "link/M2BUS.h"
#include "link/PortControl.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {

inline ByteString Hex(const char* text) { return HexToBytes(text); }

// The link with its start-up values on an open fake line and the virtual clock.
class LinkFixture : public ::testing::Test {
protected:
    LinkFixture() {
        InitLinkSettings(link);
        InitLinkConsts(link);
        line.open = true;
    }

    // `hex` (spaces allowed) reaches the receive buffer `delay` seconds from now.
    void Arrive(std::string hex, double delay = 0.1) {
        std::erase(hex, ' ');
        line.Deliver(HexToBytes(hex), delay);
    }
    std::string Rx() const { return BytesToHex(link.RxBuffer); }
    std::string Block() const { return BytesToHex(link.CmdBlock); }

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
