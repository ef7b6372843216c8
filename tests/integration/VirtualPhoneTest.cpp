// SPDX-License-Identifier: MIT
// The tool's link over a pseudo-terminal against the virtual phone in each
// of its modes: every mode leaves the log lines of the failure it causes.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <QDir>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <future>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/support/ToolProcess.h"
#include "link/CommGlobal.h"
#include "link/Frame.h"
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
        {"in a USB adapter's bursts", {}, {.chunkBytes = 62, .chunkMs = 16}, Success(Attention)},
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

// Holds the phone inside its first answer until Release(), like a phone busy answering. The hook
// keeps its own share of the state: a test that ends early leaves no thread waiting on a dead object.
class FirstAnswerHeld {
public:
    explicit FirstAnswerHeld(PhoneServer& phone) {
        auto asked = std::make_shared<std::promise<void>>();
        asked_ = asked->get_future();
        phone.BeforeEachAnswer(
            [asked, first = std::make_shared<std::atomic<bool>>(true), released = released_](const ByteString&) {
                if (!first->exchange(false)) return;
                asked->set_value();
                released.wait();
            });
    }
    // True once the phone is inside its first answer (given ten seconds).
    bool Asked() { return asked_.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
    void Release() { release_.set_value(); }

private:
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
    std::future<void> asked_;
};

TEST(VirtualPhone, ServesTheNextRunRightAfterAToolKilledWithTheDeviceOpen) {
    PhoneServer phone({}, {});
    // The phone holds its first answer until the tool that asked is dead.
    FirstAnswerHeld held(phone);
    phone.Start();
    const QStringList run{"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath())};
    QProcess tool;
    tool.setProcessEnvironment(ToolEnvironment(QDir::tempPath() + "/kelvra-no-settings"));
    tool.start(QStringLiteral(KELVRA_NETMON), run);
    ASSERT_TRUE(held.Asked());
    // Killed with the port open, exclusive and set to odd parity: nothing of the tool's own tidies up.
    ::kill(static_cast<pid_t>(tool.processId()), SIGKILL);
    tool.waitForFinished();
    held.Release();

    QProcess next;
    next.setProcessEnvironment(ToolEnvironment(QDir::tempPath() + "/kelvra-no-settings"));
    next.start(QStringLiteral(KELVRA_NETMON), run);
    // At once: a stage that had to wait out its time-out would take 10 s.
    ASSERT_TRUE(next.waitForFinished(5000));
    EXPECT_EQ(next.exitCode(), 0) << next.readAllStandardError().toStdString();
    EXPECT_EQ(next.readAllStandardOutput().count("Attention ! Received 3 command block."), 2);
    phone.Stop();
}

// A client that goes away while the phone is busy answering it leaves words the phone has not
// read yet: they go with it, never answered to whoever opens the device next.
TEST(VirtualPhone, ForgetsWhatAClientThatWentAwayLeftUnread) {
    LinkState link;
    InitLinkSettings(link);
    InitLinkConsts(link);
    const ByteString asking = M2Frame::Command(link.FrameId, link.TxAddr, link.CmdType, {0x02, 0x01}, 1);
    const ByteString unread = M2Frame::Command(link.FrameId, link.TxAddr, link.CmdType, {0x7e, 0x7e, 0x7e}, 2);

    PhoneServer phone({}, {});
    // A byte written into the tap reaches the serving thread's loop, after whatever came before it.
    std::promise<void> passes[2];
    int pass = 0;
    const std::string tapPath = phone.OpenTap([&](const std::string&) {
        if (pass < 2) passes[pass++].set_value();
    });
    FirstAnswerHeld held(phone);
    phone.Start();
    const int tap = ::open(tapPath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(tap, 0);
    const int client = ::open(phone.DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::write(client, asking.data(), asking.size()), static_cast<ssize_t>(asking.size()));
    ASSERT_TRUE(held.Asked());
    // The phone is busy with its answer: these bytes wait unread when the client closes the device.
    ASSERT_EQ(::write(client, unread.data(), unread.size()), static_cast<ssize_t>(unread.size()));
    ::close(client);
    held.Release();
    // Two passes of the serving loop after the close: the first may be the one that sees it.
    for (auto& passed : passes) {
        ASSERT_EQ(::write(tap, "x", 1), 1);
        ASSERT_EQ(passed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }
    const ByteString heard = phone.Heard();
    EXPECT_NE(std::search(heard.begin(), heard.end(), asking.begin(), asking.end()), heard.end());
    EXPECT_EQ(std::search(heard.begin(), heard.end(), unread.begin(), unread.end()), heard.end());
    ::close(tap);
    phone.Stop();
}

// At the line speed kelvra-phone-sim is busy sending most of the time: it
// still notices at once that a tool went away, whenever that happens, and
// serves the next run afresh.
TEST(VirtualPhone, ServesEveryRunAfterToolsKilledWhileItSpeaksAtTheLineSpeed) {
    QProcess phone;
    phone.start(QStringLiteral(KELVRA_PHONE_SIM), {"--paced", "--quiet"});
    ASSERT_TRUE(phone.waitForReadyRead(5000));
    const QStringList run{"--run", "rd-on", "--device", QString::fromUtf8(phone.readLine()).trimmed()};
    for (int round = 1; round <= 15; ++round) {
        SCOPED_TRACE(round);
        QProcess killed;
        killed.setProcessEnvironment(ToolEnvironment(QDir::tempPath() + "/kelvra-no-settings"));
        killed.start(QStringLiteral(KELVRA_NETMON), run);
        // Killed at a different moment of the exchange each round.
        killed.waitForFinished(6 * round);
        ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
        killed.waitForFinished();

        // What the killed run wrote and the phone had not read goes with it: the next run is served
        // afresh, each of its stages answered in full.
        QProcess next;
        next.setProcessEnvironment(ToolEnvironment(QDir::tempPath() + "/kelvra-no-settings"));
        next.start(QStringLiteral(KELVRA_NETMON), run);
        ASSERT_TRUE(next.waitForFinished(25000));
        EXPECT_EQ(next.exitCode(), 0) << next.readAllStandardError().toStdString();
        const QByteArray lines = next.readAllStandardOutput();
        EXPECT_EQ(lines.count("Attention ! Received 3 command block."), 2) << lines.toStdString();
    }
    phone.terminate();
    phone.waitForFinished();
}

}  // namespace
}  // namespace kelvra

namespace kelvra {
namespace {

// kelvra-phone-sim serving an emulator's serial port: each 0x01 it sends is doubled for QEMU's mux.
TEST(VirtualPhone, ServesASocketWithQemuEscaping) {
    const std::string path = "/tmp/kelvra-phone-" + std::to_string(::getpid()) + ".sock";
    ::unlink(path.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    QProcess sim;
    sim.start(QStringLiteral(KELVRA_PHONE_SIM), {"--socket", QString::fromStdString(path), "--qemu-mux", "--quiet"});
    const int line = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(line, 0);
    const ByteString frame = HexToBytes("1F0010400004000164010" "12E");
    ASSERT_EQ(::write(line, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    ByteString echo(15);
    std::size_t have = 0;
    while (have < echo.size()) {
        const ssize_t n = ::read(line, echo.data() + have, echo.size() - have);
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(BytesToHex(echo), "1F 00 10 40 00 04 00 01 01 64 01 01 01 01 2E");
    sim.terminate();
    sim.waitForFinished();
    ::close(line);
    ::close(listener);
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace kelvra
