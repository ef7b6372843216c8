// SPDX-License-Identifier: MIT
// kelvra-bench: prints one line per figure, "name value unit". Not a test:
// the figures depend on the machine. See the README for the latest ones.

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/GxxMain.h"
#include "commands/NetMonitor.h"
#include "app/QtRuntime.h"
#include "app/Utility.h"
#include "record/LineCapture.h"
#include "serial/linux/QtSerialComm.h"
#include "sim/PhoneServer.h"

namespace kelvra {
namespace {
// The command the figures are taken for, by its command-line name.
const char* const RDOnName = kelvra::UserCommandEntryOf(kelvra::UserCommand::RDOn).name;

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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The tool's window on Com1, pointed at a virtual phone.
struct Tool {
    explicit Tool(PhoneServer& phone) : runtime(1.0, [] {}) {
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        phone.Start();
        window = std::make_unique<GxxMain>(std::make_unique<QtSerialComm>(), runtime);
        window->Form_Load();
    }
    void RDTestOn() { window->findChild<QAction*>(QStringLiteral("MPNetOnRD"))->trigger(); }
    // The wall seconds of one R&D test On.
    double TimedRDTestOn() {
        QElapsedTimer wall;
        wall.start();
        RDTestOn();
        return Seconds(wall);
    }

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
    const double seconds = tool.TimedRDTestOn();
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
        return tool.TimedRDTestOn();
    };
    std::vector<double> ratios;
    for (int pair = 0; pair < 5; ++pair) {
        const double without = timed(nullptr);
        ratios.push_back(timed(&capture) / without);
    }
    tool.window->Comm().SetObserver(nullptr);
    ::unlink(path);
    Figure("capture_command_overhead", Median(ratios), "ratio");
}

template <class Measure>
double MedianOfThree(Measure measure) {
    return Median({measure(), measure(), measure()});
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
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch peak = QRegularExpression(QStringLiteral("VmHWM:\\s*(\\d+) kB")).match(status.readAll());
    std::printf("%ld\n", peak.captured(1).toLong());
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
        QProcess child;
        QElapsedTimer clock;
        clock.start();
        child.start(QString::fromLocal8Bit(self), {QStringLiteral("--child")});
        // The first line when the window is shown, the second its peak memory.
        for (int line = 0; line < 2 && (child.canReadLine() || child.waitForReadyRead(30000));) {
            if (!child.canReadLine()) continue;
            const QByteArray text = child.readLine();
            if (line++ == 0) startups.push_back(Seconds(clock));
            else maxRssKb = std::max(maxRssKb, text.trimmed().toLong());
        }
        child.waitForFinished(30000);
    }
    Figure("startup_ms", Median(startups) * 1e3, "ms");
    Figure("peak_rss_mb", static_cast<double>(maxRssKb) / 1024.0, "MB");
}

// Runs R&D test On (`kelvra-netmon --run ... --device <device>`), its output to the null device; returns
// its wall seconds, its exit status and when it started.
struct Run {
    double seconds;
    int status;
    std::chrono::steady_clock::time_point started;
};
Run RunOn(const std::string& device) {
    QProcess run;
    run.setStandardOutputFile(QProcess::nullDevice());
    run.setStandardErrorFile(QProcess::nullDevice());
    const auto started = std::chrono::steady_clock::now();
    run.start(QStringLiteral(KELVRA_NETMON), {QStringLiteral("--run"), QString::fromLatin1(RDOnName),
                                              QStringLiteral("--device"), QString::fromStdString(device)});
    run.waitForFinished(-1);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1, started};
}

// 127.0.0.1:`port` (0: a port the system chooses at bind).
sockaddr_in Loopback(int port = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A port on 127.0.0.1 nobody listens on now.
int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool Connectable(int port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return probe.waitForConnected(1000);
}

// A relay on 127.0.0.1 to `target` that holds each piece for half of `roundTrip` each way: a
// network's round trip on loopback, one client at a time.
class DelayRelay {
public:
    DelayRelay(int target, std::chrono::milliseconds roundTrip) : target_(target), delay_(roundTrip / 2) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback();
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DelayRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }

private:
    struct Piece {
        std::chrono::steady_clock::time_point due;
        std::string bytes;
    };
    void Serve() {
        while (!stop_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address = Loopback(target_);
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) Relay(client, server);
            ::close(client);
            ::close(server);
        }
    }
    void Relay(int client, int server) {
        std::deque<Piece> toServer, toClient;
        bool open = true;
        while (!stop_ && (open || !toServer.empty() || !toClient.empty())) {
            pollfd ends[2] = {{client, static_cast<short>(open ? POLLIN : 0), 0}, {server, static_cast<short>(open ? POLLIN : 0), 0}};
            ::poll(ends, 2, 5);
            const auto now = std::chrono::steady_clock::now();
            for (int i = 0; i < 2 && open; ++i) {
                if (!(ends[i].revents & (POLLIN | POLLHUP))) continue;
                char buffer[4096];
                const ssize_t n = ::read(ends[i].fd, buffer, sizeof buffer);
                if (n <= 0) open = false;
                else (i == 0 ? toServer : toClient).push_back({now + delay_, std::string(buffer, static_cast<std::size_t>(n))});
            }
            for (auto* queue : {&toServer, &toClient}) {
                while (!queue->empty() && queue->front().due <= now) {
                    // An end that has gone (a client that gave up) must not end the benchmark with SIGPIPE.
                    (void)!::send(queue == &toServer ? server : client, queue->front().bytes.data(),
                                  queue->front().bytes.size(), MSG_NOSIGNAL);
                    queue->pop_front();
                }
            }
        }
    }

    int target_, listener_ = -1, port_ = 0;
    std::chrono::milliseconds delay_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// R&D test On through Debian's ser2net (RFC 2217 on loopback) in front of a paced phone, against the
// same phone's line itself; then through a relay that adds network round trips. Left out without ser2net.
void DeviceServerFigures() {
    if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty()) return;
    PhoneServer phone({}, {.paced = true});
    phone.Start();
    const int port = FreePort();
    const QTemporaryDir folder;
    std::ofstream((folder.filePath(QStringLiteral("ser2net.yaml"))).toStdString())
        << "%YAML 1.1\n---\nconnection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
        << "\n  connector: serialdev," << phone.DevicePath() << ",115200n81,local\n";
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral("ser2net"), {QStringLiteral("-n"), QStringLiteral("-c"),
                                             folder.filePath(QStringLiteral("ser2net.yaml")), QStringLiteral("-P"),
                                             folder.filePath(QStringLiteral("pid"))});
    for (int i = 0; i < 100 && !Connectable(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // A probe connection takes the line for a moment: let the server free it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<double> ratios;
    for (int run = 0; run < 5; ++run) {
        const double local = RunOn(phone.DevicePath()).seconds;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double remote = RunOn("rfc2217://127.0.0.1:" + std::to_string(port)).seconds;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ratios.push_back(remote / local);
    }
    Figure("device_server_rd_on_ratio", Median(ratios), "ratio");
    for (int roundTripMs : {100, 500, 2000}) {
        DelayRelay relay(port, std::chrono::milliseconds(roundTripMs));
        const auto [seconds, status, started] = RunOn("rfc2217://127.0.0.1:" + std::to_string(relay.Port()));
        const std::string name = "device_server_rd_on_s_rtt_" + std::to_string(roundTripMs) + "ms";
        Figure(name.c_str(), status == 0 ? seconds : -1.0, status == 0 ? "s" : "s (failed)");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    server.terminate();
    server.waitForFinished();
}

// Start-up of a headless run to its first byte on the line, and its whole
// R&D test On against a phone paced at 9600 baud over the line time.
void HeadlessFigures() {
    std::vector<double> startups;
    for (int run = 0; run < 7; ++run) {
        PhoneServer phone({}, {});
        phone.Start();
        const auto started = RunOn(phone.DevicePath()).started;
        startups.push_back(std::chrono::duration<double>(phone.FirstHeardAt() - started).count());
    }
    Figure("headless_startup_ms", Median(startups) * 1e3, "ms");
    PhoneServer paced({}, {.paced = true});
    paced.Start();
    const double seconds = RunOn(paced.DevicePath()).seconds;
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
    kelvra::DeviceServerFigures();
    return 0;
}
