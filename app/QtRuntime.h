#pragma once

#include <QElapsedTimer>

#include <functional>

#include "link/Runtime.h"

namespace kelvra {

// The run-time services on Qt Widgets.
class QtRuntime : public Runtime {
public:
    // `clockScale` > 1 makes the clock run faster than real time, so that
    // tests can wait out time-outs quickly. `end` replaces ending the process.
    explicit QtRuntime(double clockScale = 1.0, std::function<void()> end = {});

    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon,
               const std::string& caption = {}) override;
    void Beep() override;
    void SetMousePointer(MousePointer pointer) override;
    int DoEvents(double until) override;
    double Timer() override;
    void End() override;

private:
    QElapsedTimer clock_;
    double scale_;
    std::function<void()> end_;
    bool ending_ = false;
};

}  // namespace kelvra
