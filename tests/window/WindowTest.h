// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QStringList>

#include <memory>

#include "tests/support/QtPrinters.h"

#include "app/GxxMain.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {

// The real window on the fake line and the virtual clock.
class WindowTest : public ::testing::Test {
protected:
    WindowTest() {
        auto serial = std::make_unique<FakeSerial>(runtime);
        line = serial.get();
        window = std::make_unique<GxxMain>(std::move(serial), runtime);
        EXPECT_TRUE(window->Form_Load());
    }

    QAction* Action(const char* name) const {
        auto* action = window->findChild<QAction*>(QString::fromLatin1(name));
        EXPECT_NE(action, nullptr) << name;
        return action;
    }
    QMenu* Menu(const char* name) const {
        auto* menu = window->findChild<QMenu*>(QString::fromLatin1(name));
        EXPECT_NE(menu, nullptr) << name;
        return menu;
    }
    bool PortMenuEnabled() const { return Menu("MPort")->menuAction()->isEnabled(); }

    // The log split into its lines (each written line ends in CR LF).
    QStringList LogLines() const {
        QStringList lines = window->Log().Text().split(QStringLiteral("\r\n"));
        EXPECT_TRUE(lines.last().isEmpty()) << "the log ends with a line break";
        lines.removeLast();
        return lines;
    }

    // Runs everything scheduled on the virtual clock up to now.
    void RunDue() { runtime.DoEvents(runtime.now); }

    FakeRuntime runtime;
    FakeSerial* line = nullptr;
    std::unique_ptr<GxxMain> window;
};

}  // namespace kelvra::test
