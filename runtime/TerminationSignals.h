// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <functional>
#include <string>

namespace kelvra {

// Delivers SIGINT, SIGTERM and SIGHUP (a terminal or remote session that
// went away) through the event loop: `onSignal` runs with the signal's number
// on the next pass of event processing, never inside the signal handler.
// A signal that was ignored when the program started (nohup) stays ignored.
// (SIGPIPE is ignored from the program's start: Console::PrepareStandardStreams.)
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    TerminationSignals(QObject* parent, std::function<void(int)> onSignal);
    ~TerminationSignals() override;

    // The last termination signal received, 0 if none: also one that came
    // while no event was being processed.
    static int Received();
    // Keeps `signo` as received; safe in a signal handler.
    static void Note(int signo);
};

// "SIGINT", "SIGTERM", "SIGHUP"; "signal <n>" for others.
std::string SignalName(int signo);

}  // namespace kelvra
