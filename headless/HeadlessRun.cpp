// SPDX-License-Identifier: MIT
#include "headless/HeadlessRun.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>

#include "runtime/EventRuntime.h"
#include "runtime/TerminationSignals.h"
#include "serial/QtSerialComm.h"

namespace kelvra {

namespace {

// Each message box becomes one line on standard error, answered as OK
// (Ignore where a box has no OK), so that a command goes on as it would.
class ConsoleRuntime : public EventRuntime {
public:
    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon, const std::string&) override {
        std::fprintf(stderr, "kelvra-netmon: %s\n", OneLine(prompt).c_str());
        std::fflush(stderr);
        return buttons == MsgButtons::AbortRetryIgnore ? MsgAnswer::Ignore : MsgAnswer::Ok;
    }
    void Beep() override {}
    void SetMousePointer(MousePointer) override {}
    void End() override {
        Finish(0);
        throw ProgramEnding{};
    }
};

// Each log line on standard output as the window's log holds it, flushed at once.
class ConsoleView : public LinkView {
public:
    void LogLine(const std::string& message) override {
        std::fwrite(message.data(), 1, message.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void SetPortMenuEnabled(bool) override {}
};

}  // namespace

int RunHeadless(const HeadlessRequest& request) {
    ConsoleRuntime console;
    RecordedRuntime runtime(console, request.recorder);
    ConsoleView shown;
    RecordedView view(shown, request.recorder);
    QtSerialComm comm(request.ports);
    NetMonitor monitor(comm, runtime, view);
    comm.SetOnComm([&] {
        try {
            monitor.OnComm();
        } catch (const std::exception& error) {
            runtime.MsgBox(error.what(), MsgButtons::Ok, MsgIcon::Critical);
        }
    });
    int signalled = 0;
    TerminationSignals terminations(nullptr, [&](int signo) {
        signalled = signo;
        console.Finish(128 + signo);
    });

    monitor.InitLink();
    comm.SetCommPort(static_cast<std::int16_t>(request.port));
    if (request.recorder != nullptr) request.recorder->SetPort(request.port, request.ports.Device(request.port));
    std::int32_t result = 0;
    try {
        result = monitor.RunUserCommand(request.command);
    } catch (const ProgramEnding&) {
    } catch (const std::exception& error) {
        runtime.MsgBox(error.what(), MsgButtons::Ok, MsgIcon::Critical);
    }
    comm.SetOnComm({});
    // The port ends closed, also when the closing step reopened it or a signal cut the command short.
    if (comm.PortOpen()) {
        try {
            comm.SetPortOpen(false);
        } catch (const std::exception&) {
        }
    }
    if (signalled != 0) return 128 + signalled;
    return result != 0 ? 0 : 1;
}

}  // namespace kelvra
