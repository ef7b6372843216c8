// SPDX-License-Identifier: MIT
#pragma once
// The window toolkit and run-time services the link and the window rely on.
// The Qt window implements it for real; tests use a fake with a virtual clock.

#include <string>

namespace kelvra {

namespace App {
constexpr const char* Title = "Kelvra Net Monitor Tool";
// The project's version, as the build gives it: "1.0.4".
constexpr const char* Version = KELVRA_VERSION;
}  // namespace App

enum class MsgButtons { Ok, OkCancel, AbortRetryIgnore };
enum class MsgIcon { None, Critical, Question, Exclamation };

// The button a message box was closed with.
namespace MsgAnswer {
constexpr int Ok = 1;
constexpr int Cancel = 2;
constexpr int Abort = 3;
constexpr int Retry = 4;
constexpr int Ignore = 5;
}  // namespace MsgAnswer

enum class MousePointer { Hourglass, Arrow };

// Thrown by the run-time services once the program is ending, so that every
// procedure still running is left at once; the handler that the event loop
// entered catches it and returns. Not a std::exception: no stage traps it.
struct ProgramEnding {};

class Runtime {
public:
    virtual ~Runtime() = default;

    // Modal; an empty caption means the application's title. Returns a MsgAnswer.
    virtual int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon,
                       const std::string& caption = {}) = 0;
    virtual void Beep() = 0;
    virtual void SetMousePointer(MousePointer pointer) = 0;

    // Processes pending window and serial events. When none are pending it
    // sleeps until one arrives or the clock reaches `until`, whichever is first,
    // so waits built on it do not spin. Returns the number of open windows.
    virtual int DoEvents(double until) = 0;

    // Seconds on a monotonic clock.
    virtual double Timer() = 0;

    // Ends the program at once; no further handler runs. The real services
    // leave through the normal exit path: they throw ProgramEnding here, and
    // from every later DoEvents or MsgBox.
    virtual void End() = 0;
};

// What the link shows in the window.
class LinkView {
public:
    virtual ~LinkView() = default;
    virtual void LogLine(const std::string& message) = 0;
    virtual void SetPortMenuEnabled(bool enabled) = 0;
};

}  // namespace kelvra
