// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>

#include "link/Runtime.h"

namespace kelvra {

// The organisation, name and version the application object carries; the
// settings file and --version are found by them.
void SetApplicationNames();

// The clock, the waits and the end of the program on Qt Core, shared by the
// window's run-time services and those of headless runs.
class EventRuntime : public Runtime {
public:
    // `clockScale` > 1 makes the clock run faster than real time, so that
    // tests can wait out time-outs quickly.
    explicit EventRuntime(double clockScale = 1.0);

    // Sleeps in the event loop until an event or the deadline; see Runtime.
    int DoEvents(double until) override;
    double Timer() override;
    // Without a window there is nothing to beep or point with.
    void Beep() override {}
    void SetMousePointer(MousePointer) override {}

    // The program ends with `status`: every event loop returns, and from now
    // on every wait and message box throws ProgramEnding.
    void Finish(int status);

protected:
    // What DoEvents returns: the number of open windows.
    virtual int OpenWindows() const { return 0; }
    void ThrowIfFinishing() const;

private:
    QElapsedTimer clock_;
    double scale_;
    bool finishing_ = false;
};

}  // namespace kelvra
