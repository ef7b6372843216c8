// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "link/PortControl.h"
#include "serial/linux/QtSerialComm.h"
#include "sim/Pty.h"
#include "tests/support/FakeRuntime.h"

namespace kelvra::test {
namespace {

class PortControlPtyTest : public ::testing::Test {
protected:
    PortControlPtyTest() {
        ::setenv("KELVRA_COM1", pty.Path().c_str(), 1);
        InitLinkSettings(link);
        InitLinkConsts(link);
    }
    ~PortControlPtyTest() override { ::unsetenv("KELVRA_COM1"); }

    Pty pty;
    QtSerialComm comm;
    FakeRuntime runtime;
    RecordingView view;
    LinkState link;
    PortControl port{link, comm, runtime, view};
};

TEST_F(PortControlPtyTest, OpensAndClosesARealDevice) {
    port.TogglePort();
    EXPECT_TRUE(comm.PortOpen());
    EXPECT_FALSE(view.portMenuEnabled);
    port.TogglePort();
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_TRUE(view.portMenuEnabled);
    EXPECT_EQ(view.lines, (std::vector<std::string>{"COM port open.", "COM port close."}));
    EXPECT_TRUE(runtime.boxes.empty());
}

TEST_F(PortControlPtyTest, DeviceThatCannotBeOpenedShowsTheSystemText) {
    // A name of its own: tests run in parallel, and a device's lock file is per name.
    ::setenv("KELVRA_COM1", ("/dev/kelvra-missing-" + std::to_string(::getpid())).c_str(), 1);
    link.RxBuffer = {1};
    link.TxSeq = 4;
    port.TogglePort();
    EXPECT_FALSE(comm.PortOpen());
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_NE(runtime.boxes[0].prompt.find("No such file or directory"), std::string::npos) << runtime.boxes[0].prompt;
    EXPECT_TRUE(view.lines.empty());
    EXPECT_TRUE(view.portMenuEnabled);
    EXPECT_TRUE(link.RxBuffer.empty());
    EXPECT_EQ(link.TxSeq, 0);
}

TEST_F(PortControlPtyTest, PortHeldByAnotherProgramIsRefusedWithItsReason) {
    QtSerialComm otherProgram;
    otherProgram.SetPortOpen(true);
    port.TogglePort();
    EXPECT_FALSE(comm.PortOpen());
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_EQ(runtime.boxes[0].prompt,
              pty.Path() + ": in use by another program (process " + std::to_string(::getpid()) + ")");
    EXPECT_TRUE(view.lines.empty());
    otherProgram.SetPortOpen(false);
    port.TogglePort();
    EXPECT_TRUE(comm.PortOpen()) << "free again, the device opens";
}

}  // namespace
}  // namespace kelvra::test
