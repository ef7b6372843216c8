#pragma once

#include <gtest/gtest.h>

#include <QAction>

#include <cstdlib>
#include <memory>

#include "tests/support/QtPrinters.h"

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "serial/QtSerialComm.h"
#include "sim/PhoneServer.h"

namespace kelvra {

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
    QtRuntime runtime;
    int ended = 0;
    std::unique_ptr<GxxMain> window;
};

}  // namespace kelvra
