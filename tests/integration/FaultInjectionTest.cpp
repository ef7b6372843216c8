// What a cable can do to the tool, through the real serial component.

#include <QTimer>

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
    EXPECT_EQ(rig.runtime.boxes, std::vector<std::string>{"Unknown error or event"});
    EXPECT_EQ(rig.LogLines(),
              (QStringList{"Init Local Mode...", "COM port open.", "Unknown error or event", "COM port close."}));
    EXPECT_LT(rig.runtime.Timer(), 5.0) << "the waiting stages ended at once instead of at their deadlines";
    EXPECT_FALSE(rig.window->Comm().PortOpen());
    NextCommandWorksWithASanePhone(rig);
}

TEST(FaultInjection, FloodOfNoiseDuringACommand) {
    ExchangeRig rig({.fault = PhoneOptions::Fault::Silent}, 20.0);
    // A megabyte of noise with no frame start in it.
    ByteString noise(1 << 20);
    std::mt19937 random(7);
    for (auto& b : noise) {
        b = static_cast<std::uint8_t>(random());
        if (b == 0x1F) b = 0x2F;
    }
    std::thread flood([&] { rig.phone.Say(noise); });
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Device not responding (Echo).",
                                           "Device not responding (Echo).", "COM port close."}));
    EXPECT_LE(rig.window->Link().RxBuffer.size(), 64u * 1024u + 4096u) << "what the link holds stays bounded";
    EXPECT_TRUE(rig.runtime.boxes.empty());
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
