// SPDX-License-Identifier: MIT
#include "tests/support/PhoneOnLine.h"
#include "tests/window/WindowTest.h"

namespace kelvra::test {
namespace {

class CommandMenuTest : public WindowTest {
protected:
    void Phone(PhoneOptions options = {.replyCopies = 1}) {
        phone = PhoneModel(std::move(options));
        ConnectPhone(*line, phone);
    }
    PhoneModel phone;
};

TEST_F(CommandMenuTest, EachItemRunsItsCommandBetweenOpenAndClose) {
    const struct {
        const char* item;
        const char* line;
    } items[] = {
        {"MPNetOff", "Field Test Display Off"},
        {"MPNetReset", "FTD Reset Timers"},
        {"MPNetOnOperator", "Operator Field Test On"},
        {"MPNetOnRD", "R&D Test On"},
    };
    Phone();
    for (const auto& item : items) {
        SCOPED_TRACE(item.item);
        const qsizetype before = LogLines().size();
        Action(item.item)->trigger();
        EXPECT_EQ(LogLines().mid(before), (QStringList{"Init Local Mode...", "COM port open.", "Init Local Mode Ok",
                                                      item.line, "COM port close."}));
        EXPECT_FALSE(line->open);
        EXPECT_TRUE(PortMenuEnabled());
        EXPECT_EQ(runtime.pointers.back(), MousePointer::Arrow);
    }
    EXPECT_EQ(line->opens, 4) << "the local-mode step and the port are repeated every time";
}

TEST_F(CommandMenuTest, PointerIsTheHourglassWhileTheCommandRuns) {
    Phone();
    bool hourglassDuringWait = false;
    runtime.After(5.0, [&] { hourglassDuringWait = runtime.pointers.back() == MousePointer::Hourglass; });
    Action("MPNetOnRD")->trigger();
    EXPECT_TRUE(hourglassDuringWait);
    EXPECT_EQ(runtime.pointers, (std::vector<MousePointer>{MousePointer::Hourglass, MousePointer::Arrow}));
}

TEST_F(CommandMenuTest, WithoutAPhoneEveryStepFailsAndThePortEndsClosed) {
    Action("MPNetOnOperator")->trigger();
    EXPECT_EQ(LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Null buffer received (Echo).",
                                       "Null buffer received (Echo).", "COM port close."}));
    EXPECT_FALSE(line->open);
    EXPECT_DOUBLE_EQ(runtime.now, 20.0) << "two echo waits of 10 seconds";
}

TEST_F(CommandMenuTest, ChoiceDuringARunningCommandOnlyBeeps) {
    Phone();
    runtime.After(1.0, [&] { Action("MPNetOff")->trigger(); });
    Action("MPNetOnRD")->trigger();
    EXPECT_EQ(runtime.beeps, 1);
    EXPECT_FALSE(window->Log().Text().contains("Field Test Display Off"));
    EXPECT_TRUE(window->Log().Text().endsWith("R&D Test On\r\nCOM port close.\r\n"));
}

TEST_F(CommandMenuTest, LineErrorAnsweredOkLetsTheCommandGoOnWaiting) {
    Phone();
    // While the first echo is awaited; the phone's answers come 0.02 s after each frame.
    line->Raise(CommEventCode::Overrun, 0.01);
    runtime.answers = {MsgAnswer::Ok};
    Action("MPNetOnRD")->trigger();
    EXPECT_EQ(LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Overrun Error", "Init Local Mode Ok",
                                       "R&D Test On", "COM port close."}));
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_EQ(runtime.boxes[0].prompt, "Overrun Error");
}

TEST_F(CommandMenuTest, PortThatFailsToOpenIsTriedOnceMoreAtTheEnd) {
    line->openError = "/dev/ttyS0: Device or resource busy";
    // The device comes free after both transactions have given up.
    runtime.onBox = [&](const FakeRuntime::Box&) {
        if (runtime.boxes.size() == 4) line->openError.reset();
    };
    Action("MPNetReset")->trigger();
    ASSERT_EQ(runtime.boxes.size(), 4u);
    EXPECT_EQ(runtime.boxes[1].prompt, "COM port error !");
    EXPECT_EQ(runtime.boxes[3].prompt, "COM port error !");
    EXPECT_EQ(LogLines(), (QStringList{"Init Local Mode...", "COM port open."}));
    EXPECT_TRUE(line->open) << "the closing call found the port closed and opened it";
    EXPECT_FALSE(PortMenuEnabled());
    EXPECT_TRUE(line->written.empty());
}

}  // namespace
}  // namespace kelvra::test
