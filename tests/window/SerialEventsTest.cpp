// SPDX-License-Identifier: MIT
#include "tests/window/WindowTest.h"

namespace kelvra::test {
namespace {

using CommPortMenuTest = WindowTest;

TEST_F(CommPortMenuTest, ChoosingAPortMovesTheCheckAndSetsTheNumber) {
    const char* items[] = {"MSCom1", "MSCom2", "MSCom3", "MSCom4"};
    for (int chosen : {3, 3, 2, 4, 1}) {
        Action(items[chosen - 1])->trigger();
        EXPECT_EQ(line->port, chosen);
        for (int i = 1; i <= 4; ++i) EXPECT_EQ(Action(items[i - 1])->isChecked(), i == chosen) << items[i - 1];
    }
    EXPECT_FALSE(line->open) << "choosing a port neither opens nor closes it";
    EXPECT_TRUE(window->Log().Text().isEmpty());
}

using SerialEventsTest = WindowTest;

TEST_F(SerialEventsTest, EveryCodeIsIgnoredLoggedOrReportedAsAnError) {
    enum Kind { Ignored, Event, Error };
    const struct {
        std::int16_t code;
        Kind kind;
        const char* text;
    } table[] = {
        {1, Ignored, ""},
        {2, Ignored, ""},
        {3, Event, "Change in CTS Detected"},
        {4, Event, "Change in DSR Detected"},
        {5, Event, "Change in CD Detected"},
        {6, Event, "The Phone is Ringing"},
        {7, Event, "End of File Detected"},
        {1001, Event, "Break Received"},
        {1002, Error, "CTS Timeout"},
        {1003, Error, "DSR Timeout"},
        {1004, Event, "Framing Error"},
        {1005, Error, "Overrun Error"},
        {1006, Error, "Carrier Detect Timeout"},
        {1007, Error, "Receive Buffer Overflow"},
        {1008, Event, "Parity Error"},
        {1009, Error, "Transmit Buffer Full"},
        {0, Error, "Unknown error or event"},
        {8, Error, "Unknown error or event"},
        {1000, Error, "Unknown error or event"},
        {1010, Error, "Unknown error or event"},
        {-1, Error, "Unknown error or event"},
    };
    line->open = true;
    for (const auto& row : table) {
        SCOPED_TRACE(row.code);
        const QString logBefore = window->Log().Text();
        const int beepsBefore = runtime.beeps;
        const std::size_t boxesBefore = runtime.boxes.size();
        line->Raise(row.code);
        RunDue();
        const QString added = window->Log().Text().mid(logBefore.size());
        EXPECT_EQ(added, row.kind == Ignored ? QString() : QString::fromLatin1(row.text) + "\r\n");
        EXPECT_EQ(runtime.beeps - beepsBefore, row.kind == Error ? 1 : 0);
        ASSERT_EQ(runtime.boxes.size() - boxesBefore, row.kind == Error ? 1u : 0u);
        if (row.kind == Error) {
            const auto& box = runtime.boxes.back();
            EXPECT_EQ(box.prompt, row.text);
            EXPECT_EQ(box.caption, "Click Cancel to quit, OK to ignore.");
            EXPECT_EQ(box.buttons, MsgButtons::OkCancel);
            EXPECT_EQ(box.icon, MsgIcon::None);
        }
        EXPECT_TRUE(line->open) << "OK leaves the port open";
    }
    EXPECT_EQ(line->breakResets, static_cast<int>(std::size(table))) << "every event first clears the break state";
}

TEST_F(SerialEventsTest, CancelAfterALineErrorClosesThePort) {
    Action("MSCom1")->trigger();
    line->open = true;
    window->Link().RxBuffer = {1, 2};
    runtime.answers = {MsgAnswer::Cancel};
    line->Raise(CommEventCode::Overrun);
    RunDue();
    EXPECT_FALSE(line->open);
    EXPECT_EQ(LogLines(), (QStringList{"Overrun Error", "COM port close."}));
    EXPECT_TRUE(PortMenuEnabled());
    EXPECT_TRUE(window->Link().RxBuffer.empty());
}

TEST_F(SerialEventsTest, ErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
    line->open = true;
    line->breakError = "the device refused to leave the break state";
    line->Raise(CommEventCode::Overrun);
    RunDue();
    ASSERT_EQ(runtime.boxes.size(), 1u);
    EXPECT_EQ(runtime.boxes[0].prompt, "the device refused to leave the break state");
    EXPECT_EQ(runtime.boxes[0].icon, MsgIcon::Critical);
    EXPECT_EQ(runtime.boxes[0].caption, App::Title);
    EXPECT_TRUE(window->Log().Text().isEmpty()) << "the handler was abandoned";
    EXPECT_EQ(runtime.ended, 0);
    line->breakError.reset();
    line->Raise(CommEventCode::Frame);
    RunDue();
    EXPECT_EQ(LogLines(), QStringList{"Framing Error"});
}

}  // namespace
}  // namespace kelvra::test
