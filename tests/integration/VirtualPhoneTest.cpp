// SPDX-License-Identifier: MIT
// The tool's link over a pseudo-terminal against the virtual phone in each
// of its modes: every mode leaves the log lines of the failure it causes.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/integration/ExchangeRig.h"

namespace kelvra {
namespace {

using Fault = PhoneOptions::Fault;

const QString Attention = QStringLiteral("Attention ! Received 3 command block.");

QStringList Around(const QStringList& middle) {
    return QStringList{"Init Local Mode...", "COM port open."} + middle + QStringList{"COM port close."};
}

QStringList Success(const QString& attention) {
    QStringList lines{"Init Local Mode...", "COM port open."};
    if (!attention.isEmpty()) lines << attention;
    lines << "Init Local Mode Ok";
    if (!attention.isEmpty()) lines << attention;
    lines << "R&D Test On"
          << "COM port close.";
    return lines;
}

TEST(VirtualPhone, EveryModeLeavesItsLogLines) {
    const struct {
        const char* name;
        PhoneOptions options;
        Delivery delivery;
        QStringList lines;
    } modes[] = {
        {"answers", {}, {}, Success(Attention)},
        {"reply sent once", {.replyCopies = 1}, {}, Success({})},
        {"other reply type", {.replyType = {0x41, 0x00}}, {}, Success(Attention)},
        {"noise before frames", {.noise = true}, {}, Success(Attention)},
        {"bytes one at a time", {}, {.trickle = true}, Success(Attention)},
        {"paced at 9600 baud", {}, {.paced = true}, Success(Attention)},
        {"silent", {.fault = Fault::Silent}, {}, Around({"Null buffer received (Echo).", "Null buffer received (Echo)."})},
        {"no answer", {.fault = Fault::NoAnswer}, {}, Around({"Null buffer received (ACK).", "Null buffer received (ACK)."})},
        {"no echo", {.fault = Fault::NoEcho}, {}, Around({"Null buffer received (Echo).", "Null buffer received (Echo)."})},
        {"wrong echo", {.fault = Fault::WrongEcho}, {}, Around({"Wrong Echo received.", "Wrong Echo received."})},
        {"wrong ack sequence", {.fault = Fault::WrongAckSeq}, {}, Around({"Communication error.", "Communication error."})},
        {"wrong ack echo",
         {.fault = Fault::WrongAckEcho},
         {},
         Around({Attention, "Wrong Ack Echo received.", Attention, "Wrong Ack Echo received."})},
    };
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.name);
        ExchangeRig rig(mode.options, 20.0, mode.delivery);
        rig.Choose("MPNetOnRD");
        EXPECT_EQ(rig.LogLines(), mode.lines);
        EXPECT_FALSE(rig.window->Comm().PortOpen());
    }
}

TEST(VirtualPhone, RepliesThatDifferAreNotCounted) {
    ExchangeRig rig({.fault = Fault::DifferingReplies}, 20.0);
    rig.Choose("MPNetOnRD");
    // The copies left over stand before the echo of the PC's acknowledgement, which is found behind them.
    EXPECT_EQ(rig.LogLines(), Success({}));
}

TEST(VirtualPhone, NoiseAndBytesOneAtATimeAndBothCopiesAnswered) {
    ExchangeRig rig({.noise = true, .answerEveryCopy = true}, 20.0, {.trickle = true});
    for (int i = 0; i < 3; ++i) {
        const qsizetype before = rig.LogLines().size();
        rig.Choose("MPNetOnRD");
        EXPECT_EQ(rig.LogLines().mid(before), Success(Attention));
    }
}

TEST(VirtualPhone, SurvivesAToolKilledWithTheDeviceOpen) {
    PhoneServer phone({}, {});
    phone.Start();
    // What a killed tool leaves behind: the device in exclusive use.
    const int killed = ::open(phone.DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(killed, 0);
    ASSERT_EQ(::ioctl(killed, TIOCEXCL), 0);
    ::close(killed);
    int exclusive = 1;
    for (int i = 0; i < 50 && exclusive != 0; ++i) {
        ::usleep(20000);
        const int next = ::open(phone.DevicePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(next, 0);
        ASSERT_EQ(::ioctl(next, TIOCGEXCL, &exclusive), 0);
        ::close(next);
    }
    EXPECT_EQ(exclusive, 0) << "a program without privileges could not open it again";
    phone.Stop();
}

}  // namespace
}  // namespace kelvra
