// SPDX-License-Identifier: MIT
// The tool on a USB serial adapter's real driver: Debian's kernel in QEMU with its own xhci and ftdi_sio
// drivers, QEMU's usb-serial (an FTDI FT232) as the adapter, the virtual phone on the host behind it. The
// cable is pulled out and plugged back through QEMU's monitor while the tool waits, listens or rests.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

const std::string Work = KELVRA_GUEST_WORK;
const Lines Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                    "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                    "COM port close."};
const char* const Adapter = "usb-serial,bus=xhci.0,chardev=phone,id=adapter,serial=KELVRA-PHONE";

// The guest's xhci controller with the phone's adapter on it, a spare adapter's line, and the monitor.
std::vector<std::string> UsbLine() {
    return {"-device", "qemu-xhci,id=xhci", "-device", Adapter, "-chardev", "file,id=spare,path=/dev/null",
            "-monitor", "unix:" + guest::MonitorPath(Work) + ",server=on,wait=off"};
}

// Pulls and plugs as the guest asks; what the monitor answered, a line a request.
struct Hands {
    std::string said;
    void operator()(const std::string& marker, guest::Monitor& monitor, PhoneServer&) {
        std::string command;
        if (marker == "PULL") command = "device_del adapter";
        if (marker == "PLUG") command = std::string("device_add ") + Adapter;
        if (marker == "PLUG-SPARE") command = "device_add usb-serial,bus=xhci.0,chardev=spare,id=spare,serial=KELVRA-SPARE";
        if (!command.empty()) said += marker + ": " + monitor.Command(command) + "\n";
    }
};

// The bytes of a file the guest printed with od.
ByteString Dumped(const Boot& boot, const std::string& name) {
    ByteString bytes;
    for (const std::string& line : boot.Section("FILE-" + name)) {
        std::istringstream hex(line);
        for (unsigned byte = 0; hex >> std::hex >> byte;) bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

// "GONE-<name> <ms> <lock left> <processes left>" as its parts.
struct Gone {
    int ms = -1;
    std::string lock, processes;
};
Gone GoneOf(const Boot& boot, const std::string& name) {
    Gone gone;
    std::istringstream(boot.Value("GONE-" + name)) >> gone.ms >> gone.lock >> gone.processes;
    return gone;
}

// Run `name`, pulled while it waited or listened, ended within a second with status 1, its lock removed
// and no process left.
void ExpectEndedAtThePull(const Boot& boot, const std::string& name) {
    const Gone gone = GoneOf(boot, name);
    EXPECT_GE(gone.ms, 0) << boot.console;
    EXPECT_LT(gone.ms, 1000) << "the run went on after the cable was pulled";
    EXPECT_EQ(gone.lock, "no") << "the lock file was left behind";
    EXPECT_EQ(gone.processes, "no") << "a process of the tool was left";
    EXPECT_EQ(boot.Value("STATUS-" + name), "1") << boot.console;
}

// A run of the tool on this machine, against `device`: its status and what it printed.
struct LocalRun {
    int status = -1;
    Lines out, err;
};
Lines FileLines(const std::string& path) {
    Lines lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
LocalRun RunLocally(const std::string& command, const std::string& device) {
    const std::string out = Work + "/local.out", err = Work + "/local.err";
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + Work + "/config", "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    std::vector<std::string> args{KELVRA_NETMON, "--run", command, "--device", device};
    std::vector<char*> argv, envp;
    for (std::string& arg : args) argv.push_back(arg.data());
    for (std::string& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    LocalRun run;
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, KELVRA_NETMON, &actions, nullptr, argv.data(), envp.data()) == 0 &&
        ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    posix_spawn_file_actions_destroy(&actions);
    run.out = FileLines(out);
    run.err = FileLines(err);
    return run;
}

// The line events a capture holds, as "<code> <text>", and whether every record before them reads.
Lines LineEvents(const ByteString& file) {
    Lines events;
    const Pcapng::File capture = Pcapng::Read(file);
    for (const Pcapng::Section& section : capture.sections)
        for (const Pcapng::Packet& packet : section.packets)
            if (packet.data.size() > 3 && packet.data[0] == static_cast<std::uint8_t>(LineRecord::LineEvent))
                events.push_back(std::to_string(packet.data[1] | packet.data[2] << 8) + " " +
                                 std::string(packet.data.begin() + 3, packet.data.end()));
    return events;
}

// A capture of a run whose adapter was pulled: whole (one section, no damage, no cut tail), its one line
// event the device's going, and only the close after it.
void ExpectCaptureEndsWithTheDeviceGone(const ByteString& capture) {
    const Pcapng::File file = Pcapng::Read(capture);
    ASSERT_EQ(file.sections.size(), 1u);
    EXPECT_TRUE(file.damaged.empty());
    EXPECT_FALSE(file.cutTail);
    const auto& packets = file.sections[0].packets;
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets.back().data.at(0), static_cast<std::uint8_t>(LineRecord::Closed));
    EXPECT_EQ(LineEvents(capture), Lines{"1010 /dev/ttyUSB0: the device is gone"});
}

class Usb : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        made = guest::MakeGuest(KELVRA_GUEST_DIR, Work, KELVRA_NETMON, KELVRA_GUEST_INIT,
                                {"xhci-pci", "ftdi_sio"});
        accel = made ? guest::Accelerator({.work = Work, .line = UsbLine()}) : "tcg";
        std::printf("usb_accelerator %s\n", accel.c_str());
    }
    void SetUp() override { ASSERT_TRUE(made) << "the guest could not be made (see make-guest.sh's output)"; }

    // Boots `scenario` with the phone behind the adapter; `hands` pulls and plugs as the guest asks.
    static Boot Run(const std::string& scenario, PhoneOptions options, Hands* hands = nullptr,
                    const std::function<void(PhoneServer&)>& prepare = {}, Delivery delivery = {}) {
        guest::BootPlan plan{.work = Work, .scenario = scenario, .accel = accel, .options = options,
                             .delivery = delivery, .seconds = 120, .line = UsbLine(), .prepare = prepare,
                             .keepPhone = true};
        if (hands != nullptr)
            plan.onMarker = [hands](const std::string& marker, guest::Monitor& monitor, PhoneServer& phone) {
                (*hands)(marker, monitor, phone);
            };
        return guest::BootGuest(plan);
    }

    static inline bool made = false;
    static inline std::string accel;
};

TEST_F(Usb, EveryCommandAsOnALocalLine) {
    // The phone answers at the line's real speed, so that the figure below is the tool's own cost.
    const Boot boot = Run("commands", {}, nullptr, {}, {.paced = true});
    ASSERT_TRUE(boot.finished) << boot.console;
    EXPECT_EQ(boot.Value("DEVICE"), "/dev/ttyUSB0") << boot.console;
    PhoneServer local({}, {});
    local.Start();
    std::size_t rdOnSaid = 0;
    for (const char* command : {"off", "reset-timers", "operator-on", "rd-on"}) {
        SCOPED_TRACE(command);
        const std::size_t said = local.BytesSaid();
        const LocalRun expected = RunLocally(command, local.DevicePath());
        rdOnSaid = local.BytesSaid() - said;
        EXPECT_EQ(expected.status, 0);
        EXPECT_EQ(boot.Value(std::string("STATUS-") + command), std::to_string(expected.status)) << boot.console;
        EXPECT_EQ(boot.Section(std::string("OUT-") + command), expected.out) << boot.console;
        EXPECT_EQ(boot.Section(std::string("ERR-") + command), expected.err) << boot.console;
    }
    ASSERT_TRUE(boot.phone);
    EXPECT_EQ(BytesToHex(boot.phone->Heard()), BytesToHex(local.Heard())) << "the bytes on the wire";
    // A figure, not an assertion: R&D test On's wall time in the guest (10 ms steps, the process's start
    // in emulation included) over the time the phone's end takes to say its bytes at 9600 baud, 11 bits a
    // byte (the echo of the PC's frames and its own), as the UART test and kelvra-bench count it.
    const double lineSeconds = static_cast<double>(rdOnSaid) * 11.0 / 9600.0;
    const double wall = std::atof(boot.Value("WALL-rd-on").c_str()) / 1e3;
    std::printf("usb_command_wall_ms %.0f\nusb_command_overhead %.2f (line %.0f ms)\n", wall * 1e3,
                wall / lineSeconds, lineSeconds * 1e3);
}

TEST_F(Usb, AWaitHoldsTheLineSettingsAndCostsNoCpu) {
    const Boot boot = Run("silent", {.fault = PhoneOptions::Fault::Silent});
    ASSERT_TRUE(boot.finished) << boot.console;
    // An FTDI adapter keeps PARENB, which a pseudo-terminal cannot.
    EXPECT_LE(guest::CheckWait(boot, "usb"), 40) << "a waiting command spins on the adapter";
    EXPECT_EQ(boot.Section("OUT-silent"), (Lines{"Init Local Mode...", "COM port open."})) << boot.console;
    EXPECT_EQ(boot.Value("STATUS-silent"), "143") << boot.console;
}

TEST_F(Usb, PulledWhileACommandWaits) {
    Hands hands;
    const Boot boot = Run("pull-command", {.fault = PhoneOptions::Fault::Silent}, &hands);
    ASSERT_TRUE(boot.finished) << boot.console << hands.said;
    for (const char* run : {"plain", "recorded"}) {
        SCOPED_TRACE(run);
        ExpectEndedAtThePull(boot, run);
        const Lines err = boot.Section(std::string("ERR-") + run);
        ASSERT_FALSE(err.empty()) << boot.console;
        EXPECT_EQ(err.front(), "kelvra-netmon: /dev/ttyUSB0: the device is gone") << boot.console;
        EXPECT_EQ(err.back(), "kelvra-netmon: rd-on failed on Com1 (/dev/ttyUSB0): the device is gone");
        EXPECT_EQ(boot.Section(std::string("OUT-") + run),
                  (Lines{"Init Local Mode...", "COM port open.", "/dev/ttyUSB0: the device is gone", "COM port close."}));
    }
    ExpectCaptureEndsWithTheDeviceGone(Dumped(boot, "capture"));
    const Lines log = boot.Section("LOG");
    bool gone = false;
    for (const std::string& line : log) gone = gone || line.find("/dev/ttyUSB0: the device is gone") != std::string::npos;
    EXPECT_TRUE(gone) << "the log file does not say the device went";
}

TEST_F(Usb, PulledWhileListening) {
    Hands hands;
    const Boot boot = Run("pull-listen", {}, &hands);
    ASSERT_TRUE(boot.finished) << boot.console << hands.said;
    for (const char* run : {"listen", "wireshark"}) {
        SCOPED_TRACE(run);
        // Status 1, not 0 (an end of its own, Ctrl+C) nor a signal's: the line went away.
        ExpectEndedAtThePull(boot, run);
        bool named = false;
        for (const std::string& line : boot.Section(std::string("ERR-") + run))
            named = named || line == "kelvra-netmon: /dev/ttyUSB0: the device is gone";
        EXPECT_TRUE(named) << boot.console;
    }
    ExpectCaptureEndsWithTheDeviceGone(Dumped(boot, "wireshark"));
}

TEST_F(Usb, PulledBetweenRunsAndPluggedBack) {
    Hands hands;
    const Boot boot = Run("replug", {}, &hands);
    ASSERT_TRUE(boot.finished) << boot.console << hands.said;
    EXPECT_EQ(boot.Value("STATUS-out"), "1") << boot.console;
    const Lines err = boot.Section("ERR-out");
    ASSERT_FALSE(err.empty()) << boot.console;
    EXPECT_EQ(err.back(), "kelvra-netmon: rd-on failed on Com1 (/dev/ttyUSB0): No such file or directory");
    EXPECT_LT(std::atoi(boot.Value("WALL-out").c_str()), 1500) << "a run waited for a device that is not there";
    EXPECT_EQ(boot.Value("STATUS-back"), "0") << boot.console;
    EXPECT_EQ(boot.Section("OUT-back"), Success);
    EXPECT_EQ(boot.Value("MOVED"), "/dev/ttyUSB1") << "the phone's adapter came back under another number\n" << hands.said << boot.console;
    EXPECT_EQ(boot.Value("STATUS-moved"), "0") << boot.console;
    EXPECT_EQ(boot.Section("OUT-moved"), Success);
}

// A break from the far end while the command waits for the reply. QEMU's adapter reports it as the FTDI
// break bit in a status-only packet, which the kernel's ftdi_sio passes over (it takes a break only with
// the NUL byte a real FT232 hands over with it), and it reports no parity or framing errors at all: no
// program can be told of them through this adapter. What is shown is that they cost the command nothing.
TEST_F(Usb, ABreakFromTheFarEndCostsTheCommandNothing) {
    bool broken = false;
    const Boot boot = Run("break", {}, nullptr, [&broken](PhoneServer& phone) {
        phone.BeforeEachAnswer([&broken, &phone](const ByteString&) {
            // Before the first reply, while the tool waits for it.
            if (broken) return;
            broken = true;
            phone.SendBreak();
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        });
    });
    ASSERT_TRUE(boot.finished) << boot.console;
    EXPECT_TRUE(broken) << "the phone never sent its break";
    EXPECT_EQ(boot.Value("STATUS-break"), "0") << boot.console;
    EXPECT_EQ(boot.Section("OUT-break"), Success) << boot.console << boot.phoneLog;
    EXPECT_EQ(boot.Section("ERR-break"), Lines{});
    EXPECT_EQ(LineEvents(Dumped(boot, "capture")), Lines{});
}

}  // namespace
}  // namespace kelvra
