// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "link/CommGlobal.h"
#include "link/PortControl.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {
namespace {

class PortControlTest : public ::testing::Test {
protected:
    PortControlTest() {
        InitLinkSettings(link);
        InitLinkConsts(link);
        link.RxBuffer = {1, 2, 3};
        link.TxSeq = 5;
    }
    FakeRuntime runtime;
    FakeSerial line{runtime};
    RecordingView view;
    LinkState link;
    PortControl port{link, line, runtime, view};
};

TEST_F(PortControlTest, OpensThenClosesWithTheirLogLines) {
    port.TogglePort();
    EXPECT_TRUE(line.open);
    EXPECT_FALSE(view.portMenuEnabled);
    EXPECT_TRUE(link.RxBuffer.empty());
    EXPECT_EQ(link.TxSeq, 0);
    link.RxBuffer = {9};
    link.TxSeq = 3;
    port.TogglePort();
    EXPECT_FALSE(line.open);
    EXPECT_TRUE(view.portMenuEnabled);
    EXPECT_TRUE(link.RxBuffer.empty());
    EXPECT_EQ(link.TxSeq, 0);
    EXPECT_EQ(view.lines, (std::vector<std::string>{"COM port open.", "COM port close."}));
    EXPECT_TRUE(runtime.boxes.empty());
    EXPECT_EQ(line.inDiscards, 2) << "both directions are discarded at open and at close";
    EXPECT_EQ(line.outDiscards, 2);
}

TEST_F(PortControlTest, FailedOpenShowsTheComponentTextOnceAndLogsNothing) {
    line.openError = "/dev/ttyS0: Device or resource busy";
    port.TogglePort();
    EXPECT_FALSE(line.open);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_TRUE(view.portMenuEnabled);
    EXPECT_TRUE(link.RxBuffer.empty());
    EXPECT_EQ(link.TxSeq, 0);
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_EQ(runtime.boxes[0].prompt, "/dev/ttyS0: Device or resource busy");
    EXPECT_EQ(runtime.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(runtime.boxes[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(runtime.boxes[0].caption, App::Title);
}

// Closing goes on step by step after a failure and reports it instead of the log line.
class FailingClose : public FakeSerial {
public:
    using FakeSerial::FakeSerial;
    void SetPortOpen(bool wanted) override {
        if (!wanted) throw CommError("close failed");
        FakeSerial::SetPortOpen(wanted);
    }
};

TEST(PortControl, FailedCloseStillEnablesTheMenuAndShowsTheError) {
    FakeRuntime runtime;
    FailingClose line(runtime);
    RecordingView view;
    LinkState link;
    PortControl port(link, line, runtime, view);
    line.open = true;
    view.portMenuEnabled = false;
    port.TogglePort();
    EXPECT_TRUE(view.portMenuEnabled);
    EXPECT_TRUE(view.lines.empty());
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_EQ(runtime.boxes[0].prompt, "close failed");
}

}  // namespace
}  // namespace kelvra::test
