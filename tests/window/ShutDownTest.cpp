// SPDX-License-Identifier: MIT
#include "tests/support/PhoneOnLine.h"
#include "tests/window/WindowTest.h"

namespace kelvra::test {
namespace {

class ShutDownTest : public WindowTest {
protected:
    // Opens the port the way a command leaves it when it could not close it.
    void OpenPort() {
        line->open = true;
        window->Link().RxBuffer.clear();
    }
    std::int16_t Unload() {
        std::int16_t cancel = 0;
        window->Form_Unload(cancel);
        return cancel;
    }
};

TEST_F(ShutDownTest, ClosedPortEndsAtOnce) {
    EXPECT_EQ(Unload(), 0);
    EXPECT_EQ(runtime.ended, 1);
    EXPECT_TRUE(runtime.boxes.empty());
    EXPECT_TRUE(window->Log().Text().isEmpty());
    EXPECT_TRUE(line->written.empty());
}

TEST_F(ShutDownTest, OpenPortWithNothingToSendClosesAndEnds) {
    OpenPort();
    EXPECT_EQ(Unload(), 0);
    EXPECT_FALSE(line->open);
    EXPECT_EQ(runtime.ended, 1);
    EXPECT_TRUE(runtime.boxes.empty());
    EXPECT_TRUE(window->Log().Text().isEmpty()) << "closed directly, not through port control";
}

TEST_F(ShutDownTest, HeldLineAsksAfterAboutTenSeconds) {
    const struct {
        std::deque<int> answers;
        std::size_t boxes;
        bool endsOpen;
        std::int16_t cancel;
    } cases[] = {
        {{MsgAnswer::Ignore}, 1, false, 0},
        {{MsgAnswer::Abort}, 1, true, -1},
        {{MsgAnswer::Retry, MsgAnswer::Retry, MsgAnswer::Ignore}, 3, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.boxes);
        runtime.boxes.clear();
        runtime.ended = 0;
        runtime.now = 1000.3;
        runtime.answers = c.answers;
        OpenPort();
        line->stuckOutput = 12;
        EXPECT_EQ(Unload(), c.cancel);
        ASSERT_EQ(runtime.boxes.size(), c.boxes);
        double asked = 1000.3;
        for (const auto& box : runtime.boxes) {
            EXPECT_EQ(box.prompt, "Data cannot be sent");
            EXPECT_EQ(box.buttons, MsgButtons::AbortRetryIgnore);
            EXPECT_EQ(box.icon, MsgIcon::Question);
            EXPECT_EQ(box.caption, App::Title);
            EXPECT_GE(box.at - asked, 9.5);
            EXPECT_LE(box.at - asked, 10.6);
            asked = box.at;
        }
        EXPECT_EQ(line->open, c.endsOpen);
        EXPECT_EQ(runtime.ended, c.endsOpen ? 0 : 1);
    }
}

TEST_F(ShutDownTest, BufferThatDrainsEndsWithoutAsking) {
    OpenPort();
    line->stuckOutput = 12;
    runtime.After(3.0, [&] { line->stuckOutput = 0; });
    EXPECT_EQ(Unload(), 0);
    EXPECT_TRUE(runtime.boxes.empty());
    EXPECT_EQ(runtime.ended, 1);
    EXPECT_NEAR(runtime.now, 3.0, 0.1);
}

TEST_F(ShutDownTest, FileExitAndClosingTheWindowAreTheShutDown) {
    OpenPort();
    line->stuckOutput = 1;
    runtime.answers = {MsgAnswer::Abort};
    window->show();
    Action("MFileExit")->trigger();
    EXPECT_EQ(runtime.ended, 0);
    EXPECT_TRUE(line->open);

    runtime.answers = {MsgAnswer::Abort};
    EXPECT_FALSE(window->close()) << "Abort keeps the window open";
    EXPECT_TRUE(window->isVisible());

    runtime.answers = {MsgAnswer::Ignore};
    EXPECT_TRUE(window->close());
    EXPECT_EQ(runtime.ended, 1);
    EXPECT_FALSE(line->open);
}

TEST_F(ShutDownTest, PhoneInLocalModeIsReturnedToNormalMode) {
    PhoneModel phone({.replyCopies = 1});
    ConnectPhone(*line, phone);
    window->Link().LocalMode = 1;
    OpenPort();
    Unload();
    EXPECT_EQ(LogLines(), (QStringList{"Init Normal Mode...", "Init Normal Mode Ok"}));
    EXPECT_EQ(window->Link().LocalMode, 0);
    EXPECT_EQ(runtime.ended, 1);
}

TEST_F(ShutDownTest, PortClosedDuringTheDrainCountsAsDrained) {
    OpenPort();
    line->stuckOutput = 12;
    runtime.answers = {MsgAnswer::Cancel};
    line->Raise(CommEventCode::Overrun, 3.0);
    EXPECT_EQ(Unload(), 0);
    EXPECT_EQ(runtime.ended, 1);
    ASSERT_EQ(runtime.boxes.size(), 1u) << "only the line-error box";
    EXPECT_EQ(runtime.boxes[0].prompt, "Overrun Error");
    EXPECT_FALSE(line->open);
}

TEST_F(ShutDownTest, ChoiceDuringTheNormalModeCommandOnlyBeeps) {
    PhoneModel phone({.replyCopies = 1});
    ConnectPhone(*line, phone);
    window->Link().LocalMode = 1;
    OpenPort();
    runtime.After(1.0, [&] { Action("MPNetOff")->trigger(); });
    Unload();
    EXPECT_EQ(runtime.beeps, 1);
    EXPECT_EQ(LogLines(), (QStringList{"Init Normal Mode...", "Init Normal Mode Ok"}));
    EXPECT_EQ(runtime.ended, 1);
}

TEST_F(ShutDownTest, ShutDownDuringACommandLeavesThePhonesModeAlone) {
    PhoneModel phone({.replyCopies = 1});
    ConnectPhone(*line, phone);
    window->Link().LocalMode = 1;
    runtime.After(15.0, [&] { window->close(); });
    Action("MPNetOnRD")->trigger();
    EXPECT_GE(runtime.ended, 1);
    EXPECT_FALSE(window->Log().Text().contains("Init Normal Mode"));
}

}  // namespace
}  // namespace kelvra::test
