// SPDX-License-Identifier: MIT
#include "listen/Listener.h"

#include <QElapsedTimer>

#include <csignal>
#include <string>

#include "commands/LineEvents.h"
#include "link/FrameJoiner.h"
#include "listen/Narrator.h"
#include "record/LogFile.h"
#include "runtime/Console.h"
#include "runtime/EventRuntime.h"
#include "runtime/RunStatus.h"
#include "runtime/TerminationSignals.h"
#include "serial/PlatformSerial.h"

namespace kelvra {

namespace {
// How long a wait lasts when nothing is held: as long as a reader that has
// gone (a pipe into `head`) may keep the port.
constexpr double IdleSeconds = 0.5;

// Waits on the event loop; a listener shows no boxes and ends by returning.
class ListenRuntime : public EventRuntime {
public:
    int MsgBox(const std::string&, MsgButtons, MsgIcon, const std::string&) override { return MsgAnswer::Ok; }
    void End() override {}
};

}  // namespace

int Listen(const ListenRequest& request) {
    ListenRuntime runtime;
    const std::unique_ptr<SerialComm> comm = MakeSerialComm(request.ports);
    comm->SetListenOnly(true);
    comm->SetObserver(request.capture);
    comm->SetCommPort(static_cast<std::int16_t>(request.port));
    const std::string device = request.ports.Device(request.port);
    int ending = 0;
    const TerminationSignals terminations(nullptr, [&ending](int signo) { ending = signo; });
    const auto interrupted = [] { return TerminationSignals::Received() != 0; };
    if (request.capture != nullptr) request.capture->SetInterrupted(interrupted);
    comm->SetInterrupted(interrupted);
    try {
        comm->SetPortOpen(true);
    } catch (const CommError& failure) {
        Console::Problem(OneLine(failure.what()));
        return RunStatus::Failed;
    }
    // Wireshark reads the capture alone; a listener's lines go to standard output.
    Narrator narrator(request.forWireshark ? std::function<void(const std::string&)>{}
                                           : [](const std::string& line) { Console::Line(line); });
    QElapsedTimer clock;
    clock.start();
    if (!request.forWireshark)
        Console::Problem("listening to Com" + std::to_string(request.port) + " (" + device +
                         ") at 9600 8O1, writing nothing; Ctrl+C ends");
    bool lost = false;
    // What the line brought is told (before an event, the bytes that came before it); true when it brought any.
    auto readInput = [&] {
        try {
            const Bytes bytes = lost ? Bytes() : comm->Input();
            narrator.Heard(bytes, clock.elapsed());
            return !bytes.empty();
        } catch (const CommError&) {
            lost = true;
            return false;
        }
    };
    comm->SetOnComm([&] {
        const CommEventReport report = DescribeCommEvent(comm->CommEvent(), comm->CommEventText());
        readInput();
        if (comm->CommEvent() == CommEventCode::DeviceLost) lost = true;
        if (report.kind != CommEventReport::Ignored) narrator.Event(report.text, clock.elapsed());
    });

    double lastArrival = 0;
    // Wireshark stops reading its FIFO when it stops capturing; a pipeline's reader may end too.
    auto readerGone = [&request] {
        if (request.forWireshark)
            return request.capture != nullptr && (request.capture->Incomplete() || request.capture->ReaderGone());
        return Console::ReaderGone();
    };
    while (ending == 0 && TerminationSignals::Received() == 0 && !lost && !readerGone()) {
        runtime.DoEvents(runtime.Timer() + (narrator.Holding() ? LineQuietSeconds : IdleSeconds));
        if (readInput()) {
            lastArrival = runtime.Timer();
        } else if (!lost && narrator.Holding() && runtime.Timer() - lastArrival >= LineQuietSeconds) {
            // The capture has the frame cut short by the time its line is shown.
            if (request.capture != nullptr) request.capture->LineQuiet();
            narrator.Quiet();
        }
    }
    narrator.Quiet();
    comm->SetOnComm({});
    if (lost) Console::Problem(device + ": the device is gone");
    try {
        comm->SetPortOpen(false);
    } catch (const CommError&) {
    }
    if (!request.forWireshark) Console::Problem(narrator.Totals());
    if (lost) return RunStatus::Failed;
    const int signo = ending != 0 ? ending : TerminationSignals::Received();
    const bool normalEnd = signo == SIGINT || signo == 0 || (request.forWireshark && signo == SIGTERM);
    if (!normalEnd) return 128 + signo;
    if ((request.capture != nullptr && request.capture->Incomplete() && !request.forWireshark) || Console::OutputLost())
        return RunStatus::RecordIncomplete;
    return 0;
}

}  // namespace kelvra
