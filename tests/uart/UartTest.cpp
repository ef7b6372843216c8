// SPDX-License-Identifier: MIT
// The tool's headless run on a real UART driver: Debian's kernel in QEMU,
// the guest's second 16550A (/dev/ttyS1) joined to the virtual phone on the
// host through a socket character device.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/Frame.h"
#include "record/LineCapture.h"
#include "record/PcapngReader.h"
#include "sim/PhoneServer.h"

extern char** environ;

namespace kelvra {
namespace {

using Lines = std::vector<std::string>;

const Lines Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                    "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                    "COM port close."};
const std::string Work = KELVRA_UART_WORK;

// What one boot of the guest left on its console.
struct Boot {
    std::string console;
    bool finished = false;
    // What the phone heard and said, a line a chunk.
    std::string phoneLog;

    // The lines between "=== <name>" and the next marker.
    Lines Section(const std::string& name) const {
        Lines lines;
        std::istringstream in(console);
        bool inside = false;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("=== ", 0) == 0) {
                inside = line == "=== " + name;
                continue;
            }
            if (inside && line.rfind("[", 0) != 0) lines.push_back(line);
        }
        return lines;
    }
    // The value on the marker line "=== <name> <value>".
    std::string Value(const std::string& name) const {
        const std::string marker = "=== " + name + " ";
        const std::size_t at = console.find(marker);
        if (at == std::string::npos) return {};
        const std::size_t end = console.find_first_of("\r\n", at);
        return console.substr(at + marker.size(), end - at - marker.size());
    }
};

int Listen(const std::string& path) {
    ::unlink(path.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0)
        return -1;
    return listener;
}

// Boots the guest with `scenario`, its /dev/ttyS1 served by a phone with
// `options`; `prepare` may set the phone up before it starts. Gives up after
// `seconds`, the emulator killed.
Boot BootGuest(const std::string& scenario, const std::string& accel, PhoneOptions options, int seconds,
               const std::function<void(PhoneServer&)>& prepare = {}, std::unique_ptr<PhoneServer>* keep = nullptr) {
    const std::string socketPath = Work + "/phone.sock", consolePath = Work + "/console-" + scenario + ".log";
    ::unlink(consolePath.c_str());
    const int listener = Listen(socketPath);
    const std::string chardev = "socket,id=phone,path=" + socketPath + ",mux=on";
    const std::string append = "console=ttyS0 quiet loglevel=1 panic=-1 kelvra.scenario=" + scenario;
    const std::string console = "file:" + consolePath;
    std::vector<std::string> args{"qemu-system-x86_64", "-accel", accel, "-m", "512", "-display", "none",
                                  "-no-reboot", "-nodefaults", "-kernel", Work + "/vmlinux", "-initrd",
                                  Work + "/initramfs.cpio", "-append", append, "-serial", console, "-chardev",
                                  chardev, "-serial", "chardev:phone"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (Work + "/qemu.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t qemu = 0;
    Boot boot;
    if (listener < 0 || posix_spawnp(&qemu, "qemu-system-x86_64", &actions, nullptr, argv.data(), environ) != 0) {
        boot.console = "cannot start qemu-system-x86_64 or listen on " + socketPath;
        return boot;
    }
    posix_spawn_file_actions_destroy(&actions);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd waiting{listener, POLLIN, 0};
    std::unique_ptr<PhoneServer> phone;
    std::string phoneLog;
    if (::poll(&waiting, 1, seconds * 1000) > 0) {
        phone = std::make_unique<PhoneServer>(options, Delivery{}, ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC),
                                              LineKind::QemuMux, [&phoneLog](const std::string& line) {
                                                  // Only the serving thread logs, until Stop().
                                                  phoneLog += line + "\n";
                                              });
        if (prepare) prepare(*phone);
        phone->Start();
    }
    ::close(listener);
    int status = 0;
    while (::waitpid(qemu, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(qemu, SIGKILL);
            ::waitpid(qemu, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (phone) phone->Stop();
    boot.phoneLog = phoneLog;
    std::ifstream in(consolePath);
    boot.console.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    boot.finished = boot.console.find("=== END") != std::string::npos;
    if (keep) *keep = std::move(phone);
    return boot;
}

class Uart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string make = std::string(KELVRA_UART_DIR) + "/make-guest.sh '" + Work + "' '" + KELVRA_NETMON +
                                 "' '" + KELVRA_UART_DIR + "/guest-init.sh'";
        made = std::system(make.c_str()) == 0;
        // KVM only when it boots the guest; in nested machines it may be missing, fail or hang.
        accel = "tcg";
        if (made && ::access("/dev/kvm", R_OK | W_OK) == 0 && BootGuest("probe", "kvm", {}, 10).finished) accel = "kvm";
        std::printf("uart_accelerator %s\n", accel.c_str());
    }
    void SetUp() override { ASSERT_TRUE(made) << "the guest could not be made (see make-guest.sh's output)"; }

    static inline bool made = false;
    static inline std::string accel;
};

std::string Hex(const ByteString& bytes) { return BytesToHex(bytes); }

TEST_F(Uart, RDTestOnThroughA16550) {
    std::unique_ptr<PhoneServer> phone;
    const Boot boot = BootGuest("command", accel, {}, 60, {}, &phone);
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
    std::string settings;
    for (const std::string& line : boot.Section("STTY")) settings += " " + line + " ";
    for (const char* setting : {"speed 9600 baud", " cs8 ", " parenb ", " parodd ", " -cstopb ", " -crtscts ",
                                " -ixon ", " -ixoff "})
        EXPECT_NE(settings.find(setting), std::string::npos) << setting << " in" << settings;
    EXPECT_EQ(boot.Section("OUT"), (Lines{"Init Local Mode...", "COM port open."})) << boot.console;
    EXPECT_EQ(boot.Value("STATUS"), "143") << boot.console;
    const int ticks = std::atoi(boot.Value("CPU_TICKS_IN_4_S").c_str());
    std::printf("uart_wait_cpu_per_s %.4f\n", ticks / 100.0 / 4.0);
}

}  // namespace
}  // namespace kelvra
