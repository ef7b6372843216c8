// SPDX-License-Identifier: MIT
#include "listen/Listener.h"

#include <QElapsedTimer>

#include <csignal>
#include <cstdio>
#include <string>

#include "commands/FrameSummaries.h"
#include "commands/LineEvents.h"
#include "link/FrameJoiner.h"
#include "record/LogFile.h"
#include "runtime/Console.h"
#include "runtime/EventRuntime.h"
#include "runtime/RunStatus.h"
#include "runtime/TerminationSignals.h"
#include "serial/PlatformSerial.h"

namespace kelvra {

namespace {
// A frame still incomplete after this long without a byte is shown as it stands:
// at 9600 baud the bytes of one frame are never this far apart.
constexpr double QuietSeconds = 0.1;
// How long a wait lasts when nothing is held: as long as a reader that has
// gone (a pipe into `head`) may keep the port.
constexpr double IdleSeconds = 0.5;

// Waits on the event loop; a listener shows no boxes and ends by returning.
class ListenRuntime : public EventRuntime {
public:
    int MsgBox(const std::string&, MsgButtons, MsgIcon, const std::string&) override { return MsgAnswer::Ok; }
    void Beep() override {}
    void SetMousePointer(MousePointer) override {}
    void End() override {}
};

class Narrator {
public:
    explicit Narrator(bool silent) : silent_(silent) { clock_.start(); }

    void Piece(const FrameJoiner::Piece& piece) {
        const PieceSummary summary = summaries_.Describe(piece.bytes);
        if (summary.frame) {
            ++frames_;
            if (summary.badChecksum) ++badChecksums_;
        } else {
            stray_ += piece.bytes.size();
        }
        Say(static_cast<long long>(piece.time), summary.direction,
            summary.text + (summary.badChecksum ? " [bad checksum]" : "") + "  " + BytesToHex(piece.bytes));
    }
    void Event(const std::string& text) { Say(Now(), "line event", text); }
    long long Now() const { return clock_.elapsed(); }
    std::string Totals() const {
        return std::to_string(frames_) + (frames_ == 1 ? " frame, " : " frames, ") + std::to_string(badChecksums_) +
               " with a bad checksum, " + std::to_string(stray_) + (stray_ == 1 ? " byte" : " bytes") +
               " outside frames";
    }

private:
    void Say(long long ms, const std::string& direction, const std::string& text) const {
        if (silent_) return;
        char head[48];
        std::snprintf(head, sizeof head, "%8lld ms  %-11s  ", ms, direction.c_str());
        Console::Line(head + text);
    }

    bool silent_;
    QElapsedTimer clock_;
    FrameSummaries summaries_;
    long long frames_ = 0, badChecksums_ = 0;
    std::size_t stray_ = 0;
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
    Narrator narrator(request.forWireshark);
    if (!request.forWireshark)
        Console::Problem("listening to Com" + std::to_string(request.port) + " (" + device +
                         ") at 9600 8O1, writing nothing; Ctrl+C ends");
    bool lost = false;
    comm->SetOnComm([&] {
        const CommEventReport report = DescribeCommEvent(comm->CommEvent(), comm->CommEventText());
        if (comm->CommEvent() == CommEventCode::DeviceLost) lost = true;
        if (report.kind != CommEventReport::Ignored) narrator.Event(report.text);
    });

    FrameJoiner joiner;
    double lastArrival = 0;
    // Wireshark stops reading its FIFO when it stops capturing; a pipeline's reader may end too.
    auto readerGone = [&request] {
        if (request.forWireshark) return request.capture != nullptr && request.capture->Incomplete();
        return Console::ReaderGone();
    };
    while (ending == 0 && TerminationSignals::Received() == 0 && !lost && !readerGone()) {
        runtime.DoEvents(runtime.Timer() + (joiner.Holding() ? QuietSeconds : IdleSeconds));
        if (lost) break;
        Bytes bytes;
        try {
            bytes = comm->Input();
        } catch (const CommError&) {
            lost = true;
            break;
        }
        if (!bytes.empty()) {
            lastArrival = runtime.Timer();
            for (const auto& piece : joiner.Add(bytes, static_cast<std::uint64_t>(narrator.Now()))) narrator.Piece(piece);
        } else if (joiner.Holding() && runtime.Timer() - lastArrival >= QuietSeconds) {
            for (const auto& piece : joiner.Flush()) narrator.Piece(piece);
        }
    }
    for (const auto& piece : joiner.Flush()) narrator.Piece(piece);
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
