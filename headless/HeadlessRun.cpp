// SPDX-License-Identifier: MIT
#include "headless/HeadlessRun.h"

#include <string>

#include "runtime/Console.h"
#include "runtime/EventRuntime.h"
#include "runtime/TerminationSignals.h"
#include "serial/PlatformSerial.h"

namespace kelvra {

namespace {

// Each message box becomes one line on standard error, answered as OK, so
// that a command goes on as it would. A termination signal that arrived
// meanwhile ends the run once the box has been told.
class ConsoleRuntime : public EventRuntime {
public:
    int MsgBox(const std::string& prompt, MsgButtons, MsgIcon, const std::string&) override {
        Console::Problem(OneLine(prompt));
        if (const int signo = TerminationSignals::Received(); signo != 0) {
            Finish(128 + signo);
            throw ProgramEnding{};
        }
        return MsgAnswer::Ok;
    }
    void End() override {
        Finish(0);
        throw ProgramEnding{};
    }
};

// Each log line on standard output as the window's log holds it.
class ConsoleView : public LinkView {
public:
    void LogLine(const std::string& message) override { Console::Line(message); }
    void SetPortMenuEnabled(bool) override {}
};

}  // namespace

int RunHeadless(const HeadlessRequest& request) {
    ConsoleRuntime console;
    RecordedRuntime runtime(console, request.recorder);
    ConsoleView shown;
    RecordedView view(shown, request.recorder);
    const std::unique_ptr<SerialComm> port = MakeSerialComm(request.ports);
    SerialComm& comm = *port;
    comm.SetObserver(request.capture);
    NetMonitor monitor(comm, runtime, view);
    // An error that escapes a step is shown as a box and is the run's last failure.
    auto failed = [&](const std::exception& error) {
        monitor.link.LastFailure = LinkFailure{LinkFailure::Stage::Error, error.what(), {}, CommErrorOf(error)};
        runtime.MsgBox(error.what(), MsgButtons::Ok, MsgIcon::Critical);
    };
    comm.SetOnComm([&] {
        try {
            monitor.OnComm();
        } catch (const std::exception& error) {
            failed(error);
        }
    });
    const TerminationSignals terminations(nullptr, [&](int signo) { console.Finish(128 + signo); });
    const auto interrupted = [] { return TerminationSignals::Received() != 0; };
    if (request.recorder != nullptr) request.recorder->File().SetInterrupted(interrupted);
    if (request.capture != nullptr) request.capture->SetInterrupted(interrupted);
    comm.SetInterrupted(interrupted);

    monitor.InitLink();
    comm.SetCommPort(static_cast<std::int16_t>(request.port));
    const std::string device = request.ports.Device(request.port);
    if (request.recorder != nullptr) request.recorder->SetPort(request.port, device);
    std::int32_t result = 0;
    try {
        result = monitor.RunUserCommand(request.command);
    } catch (const ProgramEnding&) {
    } catch (const std::exception& error) {
        try {
            failed(error);
        } catch (const ProgramEnding&) {
        }
    }
    comm.SetOnComm({});
    // The port ends closed, also when the closing step reopened it or a signal cut the command short.
    if (comm.PortOpen()) {
        try {
            comm.SetPortOpen(false);
        } catch (const std::exception&) {
        }
    }
    if (const int signo = TerminationSignals::Received(); signo != 0) {
        if (request.recorder != nullptr) request.recorder->Line("interrupted by " + SignalName(signo));
        return 128 + signo;
    }
    if (result == 0) {
        const std::optional<LinkFailure>& failure = monitor.link.LastFailure;
        // A failure of the device itself: the line names the device once.
        const bool ofDevice = failure && failure->cause && failure->cause->Device() == device;
        const std::string why = !failure ? "no reply" : OneLine(ofDevice ? failure->cause->Reason() : failure->text);
        Console::Problem(std::string(UserCommandName(request.command)) + " failed on Com" +
                         std::to_string(request.port) + " (" + device + "): " + why);
        return RunStatus::Failed;
    }
    if ((request.recorder != nullptr && request.recorder->File().Incomplete()) ||
        (request.capture != nullptr && request.capture->Incomplete()) || Console::OutputLost())
        return RunStatus::RecordIncomplete;
    return 0;
}

}  // namespace kelvra
