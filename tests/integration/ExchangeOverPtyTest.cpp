#include <gtest/gtest.h>

#include <QAction>

#include <cstdlib>
#include <memory>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "serial/QtSerialComm.h"
#include "sim/PhoneServer.h"

namespace kelvra {
namespace {

// The real window and serial component talking over a pseudo-terminal to a
// phone on another thread. The clock runs `speed` times faster than real time.
class ExchangeOverPty {
public:
    ExchangeOverPty(PhoneOptions options, double speed, Delivery delivery = {})
        : phone(std::move(options), delivery), runtime(speed, [this] { ++ended; }) {
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        phone.Start();
        window = std::make_unique<GxxMain>(std::make_unique<QtSerialComm>(), runtime);
        window->Form_Load();
    }
    ~ExchangeOverPty() {
        window.reset();
        phone.Stop();
        ::unsetenv("KELVRA_COM1");
    }

    void Choose(const char* item) { window->findChild<QAction*>(QString::fromLatin1(item))->trigger(); }
    QStringList LogLines() const {
        QStringList lines = window->Log().Text().split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }
    std::string HeardByThePhone() const { return BytesToHex(phone.Heard()); }

    PhoneServer phone;
    QtRuntime runtime;
    int ended = 0;
    std::unique_ptr<GxxMain> window;
};

std::string Frames(std::initializer_list<const char*> frames) {
    std::string all;
    for (const char* frame : frames) all += (all.empty() ? "" : " ") + BytesToHex(HexToBytes(frame));
    return all;
}

const std::string RDTestOnFrames = Frames({
    "1F0010400004000164010" "12E", "1F0010400004000164010" "12E", "1F00107F0171",
    "1F00104000040001" "7EF302C5", "1F00104000040001" "7EF302C5", "1F00107F0272",
});

TEST(ExchangeOverPty, SingleRepliesWaitOutTheirTimeoutAndSucceed) {
    ExchangeOverPty rig({.replyCopies = 1}, 20.0);
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Init Local Mode Ok",
                                           "R&D Test On", "COM port close."}));
    EXPECT_EQ(rig.HeardByThePhone(), RDTestOnFrames);
    EXPECT_FALSE(rig.window->Comm().PortOpen());
    EXPECT_GE(rig.runtime.Timer(), 20.0) << "each reply stage waited out its time-out";
}

TEST(ExchangeOverPty, ThreeRepliesFinishWithoutWaitingOutATimeout) {
    ExchangeOverPty rig({.replyCopies = 3}, 1.0);
    rig.Choose("MPNetOnRD");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.",
                                           "Attention ! Received 3 command block.", "Init Local Mode Ok",
                                           "Attention ! Received 3 command block.", "R&D Test On",
                                           "COM port close."}));
    EXPECT_EQ(rig.HeardByThePhone(), RDTestOnFrames);
    EXPECT_LT(rig.runtime.Timer(), 5.0);
}

TEST(ExchangeOverPty, ReplyTypeBytesCarryIntoTheNextCommandFrame) {
    ExchangeOverPty rig({.replyCopies = 3, .replyType = {0x41, 0x00}}, 1.0);
    rig.Choose("MPNetOff");
    EXPECT_EQ(rig.HeardByThePhone(), Frames({
                                         "1F0010400004000164010" "12E",
                                         "1F0010400004000164010" "12E",
                                         "1F00107F0171",
                                         "1F00104100040001" "7EF102C6",
                                         "1F00104100040001" "7EF102C6",
                                         "1F00107F0272",
                                     }));
    EXPECT_TRUE(rig.LogLines().contains("Field Test Display Off"));
}

TEST(ExchangeOverPty, SilentPhoneLogsBothFailuresAndThePortEndsClosed) {
    ExchangeOverPty rig({.fault = PhoneOptions::Fault::Silent}, 20.0);
    rig.Choose("MPNetReset");
    EXPECT_EQ(rig.LogLines(), (QStringList{"Init Local Mode...", "COM port open.", "Null buffer received (Echo).",
                                           "Null buffer received (Echo).", "COM port close."}));
    EXPECT_FALSE(rig.window->Comm().PortOpen());
}

}  // namespace
}  // namespace kelvra
