// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <QAction>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>

#include "tests/support/QtPrinters.h"

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "serial/linux/QtSerialComm.h"
#include "sim/PhoneServer.h"

namespace kelvra {

// The Qt run-time services with message boxes answered from a script, so
// that a test never waits for a click.
class ScriptedQtRuntime : public QtRuntime {
public:
    using QtRuntime::QtRuntime;
    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon, const std::string&) override {
        boxes.push_back(prompt);
        if (onBox) onBox();
        if (answers.empty()) return buttons == MsgButtons::AbortRetryIgnore ? MsgAnswer::Ignore : MsgAnswer::Ok;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<std::string> boxes;
    std::deque<int> answers;
    std::function<void()> onBox;
};

// The real window and serial component talking over a pseudo-terminal to a
// phone on another thread. The clock runs `speed` times faster than real time.
class ExchangeRig {
public:
    ExchangeRig(PhoneOptions options, double speed, Delivery delivery = {})
        : phone(std::move(options), delivery), runtime(speed, [this] { ++ended; }) {
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        phone.Start();
        window = std::make_unique<GxxMain>(std::make_unique<QtSerialComm>(), runtime);
        window->Form_Load();
    }
    ~ExchangeRig() {
        window.reset();
        phone.Stop();
        ::unsetenv("KELVRA_COM1");
    }

    void Choose(const char* item) { window->findChild<QAction*>(QString::fromLatin1(item))->trigger(); }
    QStringList LogLines() const {
        QStringList lines = window->Log().Text().split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }
    std::string HeardByThePhone() const { return BytesToHex(phone.Heard()); }

    PhoneServer phone;
    ScriptedQtRuntime runtime;
    int ended = 0;
    std::unique_ptr<GxxMain> window;
};

}  // namespace kelvra
