// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

#include "runtime/EventRuntime.h"

namespace kelvra {

// The window's run-time services on Qt Widgets: message boxes, the beep, the
// mouse pointer and the end of the program, on the shared clock and waits.
class QtRuntime : public EventRuntime {
public:
    // `clockScale` > 1 makes the clock run faster than real time. `end`
    // replaces ending the program, for tests.
    explicit QtRuntime(double clockScale = 1.0, std::function<void()> end = {});

    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon,
               const std::string& caption = {}) override;
    void Beep() override;
    void SetMousePointer(MousePointer pointer) override;
    void End() override;

protected:
    int OpenWindows() const override;

private:
    std::function<void()> end_;
};

}  // namespace kelvra
