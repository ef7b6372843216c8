// SPDX-License-Identifier: MIT
// What a cable can do to the tool, through the real serial component.

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <random>
#include <thread>

#include "tests/integration/ExchangeRig.h"

namespace kelvra {
namespace {

const QStringList Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                          "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                          "COM port close."};

// A phone answering on a fresh device, which Com1 is pointed at.
void NextCommandWorksWithASanePhone(ExchangeRig& rig) {
    PhoneServer sane({}, {});
    ::setenv("KELVRA_COM1", sane.DevicePath().c_str(), 1);
    sane.Start();
    const qsizetype before = rig.LogLines().size();
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines().mid(before), Success);
    sane.Stop();
}

TEST(FaultInjection, DeviceVanishingWhileAStageWaitsIsReportedOnce) {
    ExchangeRig rig({.fault = PhoneOptions::Fault::Silent}, 1.0);
    QTimer::singleShot(300, [&] { rig.phone.PullCable(); });
    rig.Choose("MPNetOnRD");
    const std::string gone = rig.phone.DevicePath() + ": the device is gone";
    EXPECT_EQ(rig.runtime.boxes, std::vector<std::string>{gone});
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", QString::fromStdString(gone),
                                           "COM port close."}));
    EXPECT_LT(rig.runtime.Timer(), 5.0) << "the waiting stages ended at once instead of at their deadlines";
    EXPECT_FALSE(rig.window->Comm().PortOpen());
    NextCommandWorksWithASanePhone(rig);
}

TEST(FaultInjection, HeldLineIsNotALostDevice) {
    ExchangeRig rig({}, 20.0);
    rig.phone.HoldLine(true);
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Null buffer received (Echo).",
                                           "Null buffer received (Echo).", "COM port close."}));
    EXPECT_TRUE(rig.runtime.boxes.empty());
    EXPECT_GE(rig.runtime.Timer(), 20.0) << "both echo stages waited out their time-outs";
    rig.phone.HoldLine(false);
    NextCommandWorksWithASanePhone(rig);
}

TEST(FaultInjection, HeldLineAtShutDownAsksUntilIgnored) {
    const struct {
        std::deque<int> answers;
        bool windowOpen;
    } cases[] = {{{MsgAnswer::Retry, MsgAnswer::Ignore}, false}, {{MsgAnswer::Abort}, true}};
    for (const auto& c : cases) {
        ExchangeRig rig({}, 20.0);
        rig.window->show();
        rig.phone.HoldLine(true);
        SerialComm& comm = rig.window->Comm();
        comm.SetPortOpen(true);
        comm.Output(HexToBytes("1F0010400004000164010" "12E"));
        rig.runtime.answers = c.answers;
        const double closedAt = rig.runtime.Timer();
        std::vector<double> askedAt;
        rig.runtime.onBox = [&] { askedAt.push_back(rig.runtime.Timer()); };
        EXPECT_EQ(rig.window->close(), !c.windowOpen);
        ASSERT_EQ(rig.runtime.boxes, std::vector<std::string>(c.answers.size(), "Data cannot be sent"));
        double from = closedAt;
        for (double at : askedAt) {
            EXPECT_GE(at - from, 9.5);
            EXPECT_LE(at - from, 11.0);
            from = at;
        }
        EXPECT_EQ(comm.PortOpen(), c.windowOpen);
        EXPECT_EQ(rig.ended, c.windowOpen ? 0 : 1);
        rig.phone.HoldLine(false);
    }
}

TEST(FaultInjection, FloodOfNoiseDuringACommand) {
    ExchangeRig rig({.fault = PhoneOptions::Fault::Silent}, 20.0);
    // Noise with no frame start in it, as long as the command runs.
    ByteString noise(1 << 16);
    std::mt19937 random(7);
    for (auto& b : noise) {
        b = static_cast<std::uint8_t>(random());
        if (b == 0x1F) b = 0x2F;
    }
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding && rig.phone.Say(noise)) {
        }
    });
    // What the link holds while the stages wait, looked at as they wait.
    std::size_t mostHeld = 0;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] { mostHeld = std::max(mostHeld, rig.window->Link().RxBuffer.size()); });
    look.start(5);
    rig.Choose("MPNetOnRD");
    look.stop();
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Device not responding (Echo).",
                                           "Device not responding (Echo).", "COM port close."}));
    EXPECT_GT(mostHeld, 16u * 1024u) << "the flood reached the link";
    EXPECT_LE(mostHeld, 64u * 1024u + 4096u) << "what the link holds stays bounded";
    EXPECT_TRUE(rig.runtime.boxes.empty());
    flooding = false;
    rig.phone.Stop();
    flood.join();
    NextCommandWorksWithASanePhone(rig);
}

TEST(FaultInjection, ExchangeCutAtEveryByteBoundary) {
    // The longest answer: the echo of the repeated command frame, the ack and three replies.
    const int longest = 12 + 6 + 3 * 12;
    for (int cut = 0; cut <= longest; ++cut) {
        SCOPED_TRACE(cut);
        ExchangeRig rig({}, 1.0, {.splitAt = cut});
        rig.Choose("MPNetOnRD");
        EXPECT_EQ(rig.LogLines(), Success);
    }
}

}  // namespace
}  // namespace kelvra

namespace kelvra {
namespace {

// Closing the window in the middle of a command ends the program through
// the normal exit path: the event loop returns 0 and destructors run.
TEST(ProgramEndDeathTest, ClosingDuringACommandLeavesThroughMain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PhoneServer phone({.fault = PhoneOptions::Fault::Silent}, {});
            ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
            phone.Start();
            QtRuntime runtime;
            GxxMain window(std::make_unique<QtSerialComm>(), runtime);
            window.Form_Load();
            window.show();
            QTimer::singleShot(0, [&] { window.findChild<QAction*>(QStringLiteral("MPNetOnRD"))->trigger(); });
            QTimer::singleShot(300, [&] { window.close(); });
            const int status = QApplication::exec();
            std::fprintf(stderr, "exec returned %d\n", status);
            std::exit(status == 0 && !window.isVisible() && !window.Comm().PortOpen() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "exec returned 0");
}

}  // namespace
}  // namespace kelvra
