// SPDX-License-Identifier: MIT
// kelvra-bench: prints one line per figure, "name value unit". Not a test:
// the figures depend on the machine. See the README for the latest ones.

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "app/Utility.h"
#include "record/LineCapture.h"
#include "serial/linux/QtSerialComm.h"
#include "sim/PhoneServer.h"

extern char** environ;

namespace kelvra {
namespace {

void Figure(const char* name, double value, const char* unit) {
    std::printf("%s %.4f %s\n", name, value, unit);
    std::fflush(stdout);
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Seconds(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) * 1e-9; }

// The tool's window on Com1, pointed at a virtual phone.
struct Tool {
    explicit Tool(PhoneServer& phone) : runtime(1.0, [] {}) {
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        phone.Start();
        window = std::make_unique<GxxMain>(std::make_unique<QtSerialComm>(), runtime);
        window->Form_Load();
    }
    void RDTestOn() { window->findChild<QAction*>(QStringLiteral("MPNetOnRD"))->trigger(); }

    QtRuntime runtime;
    std::unique_ptr<GxxMain> window;
};

// CPU seconds per second of the echo waits of a command to a phone that never answers.
void WaitCpu() {
    PhoneServer phone({.fault = PhoneOptions::Fault::Silent}, {});
    Tool tool(phone);
    tool.window->Link().ReplyTimeout = 3.0f;
    QElapsedTimer wall;
    wall.start();
    const double cpu = CpuSeconds();
    tool.RDTestOn();
    Figure("wait_cpu_per_s", (CpuSeconds() - cpu) / Seconds(wall), "s/s");
}

// From the last byte of the third reply copy to the PC's acknowledgement, over 100 transactions.
void ReplyLatency() {
    PhoneServer phone({}, {});
    Tool tool(phone);
    for (int i = 0; i < 50; ++i) tool.RDTestOn();
    std::vector<double> latencies = phone.AckLatencies();
    std::sort(latencies.begin(), latencies.end());
    Figure("reply_latency_ms_median", latencies[latencies.size() / 2] * 1e3, "ms");
    Figure("reply_latency_ms_worst", latencies.back() * 1e3, "ms");
    Figure("reply_latency_transactions", static_cast<double>(latencies.size()), "count");
}

// A whole R&D test On against a phone paced at 9600 baud, over the time its bytes need on the line.
void CommandOverhead() {
    PhoneServer phone({}, {.paced = true});
    Tool tool(phone);
    QElapsedTimer wall;
    wall.start();
    tool.RDTestOn();
    const double seconds = Seconds(wall);
    // Every byte on the shared line comes back from the phone's end: the echo of the PC's frames and its own.
    const double lineSeconds = static_cast<double>(phone.BytesSaid()) * 11.0 / 9600.0;
    Figure("command_overhead", seconds / lineSeconds, "ratio");
    Figure("command_line_time_ms", lineSeconds * 1e3, "ms");
}

// The same command with the line captured to a file over the command without, on one paced phone: the
// median of five pairs, taken in turn so that both see the same machine.
void CaptureOverhead() {
    PhoneServer phone({}, {.paced = true});
    Tool tool(phone);
    char path[] = "/tmp/kelvra-bench-capture-XXXXXX";
    ::close(::mkstemp(path));
    LineCapture capture(path);
    auto timed = [&](LineObserver* observer) {
        tool.window->Comm().SetObserver(observer);
        QElapsedTimer wall;
        wall.start();
        tool.RDTestOn();
        return Seconds(wall);
    };
    std::vector<double> ratios;
    for (int pair = 0; pair < 5; ++pair) {
        const double without = timed(nullptr);
        ratios.push_back(timed(&capture) / without);
    }
    tool.window->Comm().SetObserver(nullptr);
    ::unlink(path);
    std::sort(ratios.begin(), ratios.end());
    Figure("capture_command_overhead", ratios[ratios.size() / 2], "ratio");
}

template <class Measure>
double MedianOfThree(Measure measure) {
    double runs[3] = {measure(), measure(), measure()};
    std::sort(std::begin(runs), std::end(runs));
    return runs[1];
}

// Seconds to log `lines` lines into a visible log, the view brought up to
// date every `perPass` lines as the event loop would.
double LogAppendSeconds(int lines, int perPass) {
    LogBox log;
    log.resize(209, 81);
    log.show();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i) {
        log.LogLine("Attention ! Received " + std::to_string(i) + " command block.", "\r\n");
        if (i % perPass == 0) QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return Seconds(clock);
}

// In a child: the window shown, then a whole command; reports on its standard output.
int Child() {
    QtRuntime runtime(1.0, [] {});
    GxxMain window(std::make_unique<QtSerialComm>(), runtime);
    window.Form_Load();
    window.show();
    QCoreApplication::processEvents();
    std::printf("shown\n");
    std::fflush(stdout);
    window.findChild<QAction*>(QStringLiteral("MPNetOnRD"))->trigger();
    // The high-water mark of this program's own memory; getrusage's would
    // also count the parent's, whose memory the child started in.
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long peakKb = 0;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &peakKb) == 1) break;
    if (status != nullptr) std::fclose(status);
    std::printf("%ld\n", peakKb);
    return 0;
}

// Process start to the window shown, and the peak memory of a whole command.
void StartUpAndMemory(const char* self) {
    PhoneServer phone({}, {});
    ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
    phone.Start();
    std::vector<double> startups;
    long maxRssKb = 0;
    for (int run = 0; run < 5; ++run) {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        char* argv[] = {const_cast<char*>(self), const_cast<char*>("--child"), nullptr};
        QElapsedTimer clock;
        clock.start();
        pid_t child = 0;
        posix_spawn(&child, self, &actions, nullptr, argv, environ);
        ::close(out[1]);
        FILE* lines = ::fdopen(out[0], "r");
        char line[64] = {};
        if (std::fgets(line, sizeof line, lines) != nullptr) startups.push_back(Seconds(clock));
        if (std::fgets(line, sizeof line, lines) != nullptr) maxRssKb = std::max(maxRssKb, std::atol(line));
        std::fclose(lines);
        ::waitpid(child, nullptr, 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    std::sort(startups.begin(), startups.end());
    Figure("startup_ms", startups[startups.size() / 2] * 1e3, "ms");
    Figure("peak_rss_mb", static_cast<double>(maxRssKb) / 1024.0, "MB");
}

// Runs `kelvra-netmon --run rd-on` on `phone`'s device; returns the seconds from
// starting the process to its end, and to the phone hearing its first byte.
std::pair<double, double> HeadlessRun(PhoneServer& phone) {
    const std::string device = phone.DevicePath();
    char* argv[] = {const_cast<char*>(KELVRA_NETMON), const_cast<char*>("--run"), const_cast<char*>("rd-on"),
                    const_cast<char*>("--device"), const_cast<char*>(device.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto started = std::chrono::steady_clock::now();
    pid_t child = 0;
    posix_spawn(&child, KELVRA_NETMON, &actions, nullptr, argv, environ);
    ::waitpid(child, nullptr, 0);
    const auto ended = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return {std::chrono::duration<double>(ended - started).count(),
            std::chrono::duration<double>(phone.FirstHeardAt() - started).count()};
}

// Start-up of a headless run to its first byte on the line, and its whole
// R&D test On against a phone paced at 9600 baud over the line time.
void HeadlessFigures() {
    std::vector<double> startups;
    for (int run = 0; run < 7; ++run) {
        PhoneServer phone({}, {});
        phone.Start();
        startups.push_back(HeadlessRun(phone).second);
    }
    std::sort(startups.begin(), startups.end());
    Figure("headless_startup_ms", startups[startups.size() / 2] * 1e3, "ms");
    PhoneServer paced({}, {.paced = true});
    paced.Start();
    const double seconds = HeadlessRun(paced).first;
    const double lineSeconds = static_cast<double>(paced.BytesSaid()) * 11.0 / 9600.0;
    Figure("headless_command_overhead", seconds / lineSeconds, "ratio");
}

}  // namespace
}  // namespace kelvra

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--child") return kelvra::Child();
    kelvra::WaitCpu();
    kelvra::ReplyLatency();
    kelvra::CommandOverhead();
    kelvra::CaptureOverhead();
    kelvra::LogAppendSeconds(1000, 1000);  // fonts and caches warmed up first
    kelvra::Figure("log_append_100k_s", kelvra::MedianOfThree([] { return kelvra::LogAppendSeconds(100000, 100000); }), "s");
    kelvra::Figure("log_append_200k_s", kelvra::MedianOfThree([] { return kelvra::LogAppendSeconds(200000, 200000); }), "s");
    kelvra::Figure("log_append_shown_each_10k_s", kelvra::MedianOfThree([] { return kelvra::LogAppendSeconds(10000, 1); }), "s");
    kelvra::Figure("log_append_shown_each_20k_s", kelvra::MedianOfThree([] { return kelvra::LogAppendSeconds(20000, 1); }), "s");
    kelvra::StartUpAndMemory(argv[0]);
    kelvra::HeadlessFigures();
    return 0;
}
