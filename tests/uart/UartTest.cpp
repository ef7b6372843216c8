// SPDX-License-Identifier: MIT
// The tool's headless run on a real UART driver: Debian's kernel in QEMU,
// the guest's second 16550A (/dev/ttyS1) joined to the virtual phone on the
// host through a socket character device.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/Frame.h"
#include "record/LineCapture.h"
#include "record/PcapngReader.h"
#include "sim/PhoneServer.h"
#include "tests/support/QemuGuest.h"

namespace kelvra {
namespace {

using guest::Boot;
using guest::Lines;

const Lines Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                    "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                    "COM port close."};
const std::string Work = KELVRA_GUEST_WORK;

// Boots the guest with `scenario`, its /dev/ttyS1 served by a phone with `options`; `prepare` may set
// the phone up before it starts.
Boot BootGuest(const std::string& scenario, const std::string& accel, PhoneOptions options, int seconds,
               const std::function<void(PhoneServer&)>& prepare = {}, bool keepPhone = false) {
    return guest::BootGuest({.work = Work, .scenario = scenario, .accel = accel, .options = options,
                             .delivery = {}, .seconds = seconds, .line = {"-serial", "chardev:phone"}, .prepare = prepare,
                             .keepPhone = keepPhone});
}

class Uart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        made = guest::MakeGuest(KELVRA_GUEST_DIR, Work, KELVRA_NETMON, KELVRA_GUEST_INIT);
        accel = made ? guest::Accelerator({.work = Work, .line = {"-serial", "chardev:phone"}}) : "tcg";
        std::printf("uart_accelerator %s\n", accel.c_str());
    }
    void SetUp() override { ASSERT_TRUE(made) << "the guest could not be made (see make-guest.sh's output)"; }

    static inline bool made = false;
    static inline std::string accel;
};

std::string Hex(const ByteString& bytes) { return BytesToHex(bytes); }

TEST_F(Uart, RDTestOnThroughA16550) {
    const Boot boot = BootGuest("command", accel, {}, 60, {}, true);
    const std::unique_ptr<PhoneServer>& phone = boot.phone;
    ASSERT_TRUE(boot.finished) << boot.console;
    EXPECT_EQ(boot.Section("OUT"), Success) << boot.console;
    EXPECT_EQ(boot.Section("ERR"), Lines{}) << boot.console;
    EXPECT_EQ(boot.Value("STATUS"), "0") << boot.console;
    ASSERT_TRUE(phone);
    EXPECT_EQ(Hex(phone->Heard()), Hex(HexToBytes("1F0010400004000164010" "12E" "1F0010400004000164010" "12E"
                                                 "1F00107F0171" "1F00104000040001" "7EF302C5"
                                                 "1F00104000040001" "7EF302C5" "1F00107F0272")));
    // Figures, not assertions: the guest's wall time of the whole run (10 ms steps, process start in
    // emulation included) against the shared line's time at 9600 baud, 11 bits a byte (what the phone's
    // end puts on it, as kelvra-bench counts), and against the time of the PC's own bytes, which the
    // emulated UART paces by its divisor.
    double start = 0, end = 0;
    if (std::sscanf(boot.Value("WALL_S").c_str(), "%lf %lf", &start, &end) == 2) {
        const double wall = end - start;
        const double lineSeconds = static_cast<double>(phone->BytesSaid()) * 11.0 / 9600.0;
        const double sentSeconds = static_cast<double>(phone->Heard().size()) * 11.0 / 9600.0;
        std::printf("uart_command_wall_ms %.0f\nuart_command_overhead %.2f (line %.0f ms)\n"
                    "uart_command_over_sent_bytes %.2f (sent %.0f ms)\n",
                    wall * 1e3, wall / lineSeconds, lineSeconds * 1e3, wall / sentSeconds, sentSeconds * 1e3);
    }
}

TEST_F(Uart, BreakWhileACommandWaitsIsReportedOnceAndTheCommandGoesOn) {
    bool broken = false;
    std::size_t heardBefore = 0;
    const Boot boot = BootGuest("command", accel, {}, 60, [&](PhoneServer& phone) {
        phone.BeforeEachAnswer([&](const ByteString&) {
            // Before the echo of the repeated local-mode frame begins, while the tool waits for it
            // (the PC's bytes come in pieces as the UART sends them: a piece starting at byte 12).
            const std::size_t heard = phone.Heard().size();
            if (!broken && heardBefore == 12) {
                broken = true;
                phone.SendBreak();
                std::this_thread::sleep_for(std::chrono::milliseconds(600));
            }
            heardBefore = heard;
        });
    });
    ASSERT_TRUE(boot.finished) << boot.console;
    Lines expected = Success;
    expected.insert(expected.begin() + 2, "Break Received");
    EXPECT_EQ(boot.Section("OUT"), expected) << boot.console << "The phone's side:\n" << boot.phoneLog;
    EXPECT_EQ(boot.Value("STATUS"), "0") << boot.console;

    // The run's capture holds the break as a line event, between the frames it came among.
    ByteString file;
    for (const std::string& line : boot.Section("CAPTURE")) {
        std::istringstream hex(line);
        for (unsigned byte = 0; hex >> std::hex >> byte;) file.push_back(static_cast<std::uint8_t>(byte));
    }
    const Pcapng::File capture = Pcapng::Read(file);
    ASSERT_EQ(capture.sections.size(), 1u);
    std::vector<std::string> events;
    for (const Pcapng::Packet& packet : capture.sections[0].packets) {
        // The UART hands the phone's bytes over as they come; the capture still has one record a whole
        // frame (the break's own NUL byte stands apart).
        if (packet.data[0] == static_cast<std::uint8_t>(LineRecord::Read))
            if (const auto frame = DecodeFrame(ByteString(packet.data.begin() + 1, packet.data.end())))
                EXPECT_TRUE(frame->whole) << BytesToHex(packet.data);
        if (packet.data.size() > 3 && packet.data[0] == static_cast<std::uint8_t>(LineRecord::LineEvent))
            events.push_back(std::to_string(packet.data[1] | packet.data[2] << 8) + " " +
                             std::string(packet.data.begin() + 3, packet.data.end()));
    }
    EXPECT_EQ(events, std::vector<std::string>{"1001 Break Received"});
}

TEST_F(Uart, SilentWaitKeepsTheLineSettingsAndCostsLittle) {
    const Boot boot = BootGuest("silent", accel, {.fault = PhoneOptions::Fault::Silent}, 60);
    ASSERT_TRUE(boot.finished) << boot.console;
    guest::CheckWait(boot, "uart");
    EXPECT_EQ(boot.Section("OUT"), (Lines{"Init Local Mode...", "COM port open."})) << boot.console;
    EXPECT_EQ(boot.Value("STATUS"), "143") << boot.console;
}

}  // namespace
}  // namespace kelvra
