// SPDX-License-Identifier: MIT
#pragma once
// Run-time services on a virtual clock: waiting costs no real time, and
// scripted actions (bytes arriving, line events, user choices) run when the
// clock reaches them.

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/Runtime.h"

namespace kelvra::test {

class FakeRuntime : public Runtime {
public:
    struct Box {
        std::string prompt;
        MsgButtons buttons;
        MsgIcon icon;
        std::string caption;
        double at;
    };

    // Runs `action` from DoEvents once the clock has reached `at`.
    void At(double at, std::function<void()> action) { timeline_.emplace(at, std::move(action)); }
    void After(double delay, std::function<void()> action) { At(now + delay, std::move(action)); }

    // Answers for the next message boxes, in order. Without one a box is
    // answered OK, or Ignore when it has no OK button.
    std::deque<int> answers;
    // Runs while a box is open, as a modal box lets events through.
    std::function<void(const Box&)> onBox;

    double now = 0.0;
    std::vector<Box> boxes;
    std::vector<MousePointer> pointers;
    int beeps = 0;
    int ended = 0;
    int doEventsCalls = 0;

    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon, const std::string& caption) override {
        boxes.push_back({prompt, buttons, icon, caption.empty() ? App::Title : caption, now});
        if (onBox) onBox(boxes.back());
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return buttons == MsgButtons::AbortRetryIgnore ? MsgAnswer::Ignore : MsgAnswer::Ok;
    }
    void Beep() override { ++beeps; }
    void SetMousePointer(MousePointer pointer) override { pointers.push_back(pointer); }

    // Runs the earliest actions due by `until`, moving the clock to them, or
    // moves the clock to `until` when none is due.
    int DoEvents(double until) override {
        ++doEventsCalls;
        if (!timeline_.empty() && timeline_.begin()->first <= until) {
            const double at = timeline_.begin()->first;
            if (at > now) now = at;
            while (!timeline_.empty() && timeline_.begin()->first <= at) {
                auto action = std::move(timeline_.begin()->second);
                timeline_.erase(timeline_.begin());
                action();
            }
        } else if (until > now) {
            now = until;
        }
        return 1;
    }
    double Timer() override { return now; }
    void End() override { ++ended; }

    bool Idle() const { return timeline_.empty(); }

private:
    std::multimap<double, std::function<void()>> timeline_;
};

// Records what the link shows in the window.
class RecordingView : public LinkView {
public:
    std::vector<std::string> lines;
    bool portMenuEnabled = true;
    void LogLine(const std::string& message) override { lines.push_back(message); }
    void SetPortMenuEnabled(bool enabled) override { portMenuEnabled = enabled; }
};

}  // namespace kelvra::test
