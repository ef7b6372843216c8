// SPDX-License-Identifier: MIT
#pragma once
// Debian's kernel booted under QEMU with the tool inside (tests/guest/make-guest.sh), its phone the
// virtual phone on the host behind a socket character device: the UART and USB adapter tests share it.
// The guest runs the scenario named on its command line, prints what it saw between "=== " markers on
// its console, and powers off.

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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/PhoneServer.h"

extern char** environ;

namespace kelvra::guest {

using Lines = std::vector<std::string>;

// What one boot of the guest left on its console.
struct Boot {
    std::string console;
    bool finished = false;
    // What the phone heard and said, a line a chunk.
    std::string phoneLog;
    // The phone, kept after the boot when asked for.
    std::unique_ptr<PhoneServer> phone;

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

inline int UnixSocket(const std::string& path, bool listen) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto* named = reinterpret_cast<const sockaddr*>(&address);
    if (listen) ::unlink(path.c_str());
    if (listen ? ::bind(fd, named, sizeof address) != 0 || ::listen(fd, 1) != 0 : ::connect(fd, named, sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// QEMU's human monitor on a Unix socket: one command at a time, its answer read up to the next prompt.
class Monitor {
public:
    explicit Monitor(std::string path) : path_(std::move(path)) {}
    ~Monitor() {
        if (fd_ >= 0) ::close(fd_);
    }
    // The monitor's answer, or empty when it cannot be reached.
    std::string Command(const std::string& command) {
        if (fd_ < 0 && (fd_ = UnixSocket(path_, false)) >= 0) ReadToPrompt();
        if (fd_ < 0) return {};
        const std::string line = command + "\n";
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
        // What follows the monitor's echo of the command, which it redraws as it goes.
        std::string answer = ReadToPrompt();
        const std::size_t echo = answer.rfind("\x1b[K");
        return echo == std::string::npos ? answer : answer.substr(echo + 3);
    }

private:
    std::string ReadToPrompt() {
        std::string answer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (answer.find("(qemu) ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char buffer[512];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        return answer;
    }

    std::string path_;
    int fd_ = -1;
};

struct BootPlan {
    // Where make-guest.sh put vmlinux and initramfs.cpio; the sockets and the console go there too.
    std::string work;
    std::string scenario;
    std::string accel = "tcg";
    PhoneOptions options{};
    // How the phone's bytes go back: at once, or at the line's speed (`paced`).
    Delivery delivery{};
    int seconds = 60;
    // QEMU's options that put the phone's character device (id "phone") on the guest's line.
    std::vector<std::string> line;
    // Sets the phone up before it starts.
    std::function<void(PhoneServer&)> prepare;
    // Called for each marker line the guest prints while it runs ("=== PULL"), with the monitor
    // (`-monitor unix:<work>/monitor.sock,server=on,wait=off`) and the phone.
    std::function<void(const std::string& marker, Monitor& monitor, PhoneServer& phone)> onMarker;
    bool keepPhone = false;
};

// The monitor's socket, for BootPlan::line.
inline std::string MonitorPath(const std::string& work) { return work + "/monitor.sock"; }

// Boots the guest; gives up after `plan.seconds`, the emulator killed.
inline Boot BootGuest(const BootPlan& plan) {
    const std::string socketPath = plan.work + "/phone.sock";
    const std::string consolePath = plan.work + "/console-" + plan.scenario + ".log";
    ::unlink(consolePath.c_str());
    const int listener = UnixSocket(socketPath, true);
    const std::string append = "console=ttyS0 quiet loglevel=1 panic=-1 kelvra.scenario=" + plan.scenario;
    std::vector<std::string> args{"qemu-system-x86_64", "-accel", plan.accel, "-m", "512", "-display", "none",
                                  "-no-reboot", "-nodefaults", "-kernel", plan.work + "/vmlinux", "-initrd",
                                  plan.work + "/initramfs.cpio", "-append", append, "-serial", "file:" + consolePath,
                                  "-chardev", "socket,id=phone,path=" + socketPath + ",mux=on"};
    args.insert(args.end(), plan.line.begin(), plan.line.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (plan.work + "/qemu.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t qemu = 0;
    Boot boot;
    const bool started =
        listener >= 0 && posix_spawnp(&qemu, "qemu-system-x86_64", &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) {
        boot.console = "cannot start qemu-system-x86_64 or listen on " + socketPath;
        return boot;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(plan.seconds);
    pollfd waiting{listener, POLLIN, 0};
    std::string phoneLog;
    if (::poll(&waiting, 1, plan.seconds * 1000) > 0) {
        boot.phone = std::make_unique<PhoneServer>(
            plan.options, plan.delivery, ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), LineKind::QemuMux,
            // Only the serving thread logs, until Stop().
            [&phoneLog](const std::string& line) { phoneLog += line + "\n"; });
        if (plan.prepare) plan.prepare(*boot.phone);
        boot.phone->Start();
    }
    ::close(listener);
    Monitor monitor(MonitorPath(plan.work));
    std::size_t seen = 0;
    int status = 0;
    while (::waitpid(qemu, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(qemu, SIGKILL);
            ::waitpid(qemu, &status, 0);
            break;
        }
        if (plan.onMarker && boot.phone) {
            // Whole lines only: the guest may be writing the next one.
            std::ifstream in(consolePath);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            for (std::size_t end; (end = text.find('\n', seen)) != std::string::npos; seen = end + 1) {
                std::string line = text.substr(seen, end - seen);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.rfind("=== ", 0) == 0) plan.onMarker(line.substr(4), monitor, *boot.phone);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (boot.phone) boot.phone->Stop();
    boot.phoneLog = phoneLog;
    std::ifstream in(consolePath);
    boot.console.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    boot.finished = boot.console.find("=== END") != std::string::npos;
    if (!plan.keepPhone) boot.phone.reset();
    return boot;
}

// What a command waiting on a silent phone left (the guest's `stty -a` in STTY, its CPU ticks over 4 s
// in CPU_TICKS_IN_4_S): the line as the driver holds it at 9600 8O1 without flow control, and
// `name`_wait_cpu_per_s printed as a figure. Returns the ticks.
inline int CheckWait(const Boot& boot, const std::string& name) {
    std::string settings;
    for (const std::string& line : boot.Section("STTY")) settings += " " + line + " ";
    for (const char* setting : {"speed 9600 baud", " cs8 ", " parenb ", " parodd ", " -cstopb ", " -crtscts ",
                                " -ixon ", " -ixoff "})
        EXPECT_NE(settings.find(setting), std::string::npos) << setting << " in" << settings;
    const int ticks = std::atoi(boot.Value("CPU_TICKS_IN_4_S").c_str());
    std::printf("%s_wait_cpu_per_s %.4f\n", name.c_str(), ticks / 100.0 / 4.0);
    return ticks;
}

// Makes the guest's kernel and initramfs in `work` (tests/guest/make-guest.sh), with `modules` loaded at boot.
inline bool MakeGuest(const std::string& guestDir, const std::string& work, const std::string& tool,
                      const std::string& init, const std::vector<std::string>& modules = {}) {
    std::string command = guestDir + "/make-guest.sh '" + work + "' '" + tool + "' '" + init + "'";
    for (const std::string& module : modules) command += " " + module;
    return std::system(command.c_str()) == 0;
}

// KVM when it boots the guest (`probe` scenario); in nested machines it may be missing, fail or hang.
inline std::string Accelerator(BootPlan probe) {
    if (::access("/dev/kvm", R_OK | W_OK) != 0) return "tcg";
    probe.scenario = "probe";
    probe.accel = "kvm";
    probe.seconds = 10;
    probe.onMarker = {};
    return BootGuest(probe).finished ? "kvm" : "tcg";
}

}  // namespace kelvra::guest
