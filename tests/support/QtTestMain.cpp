// SPDX-License-Identifier: MIT
// Runs the window and serial tests inside a QApplication, offscreen unless a
// display is chosen explicitly.

#include <QApplication>

#include <gtest/gtest.h>

// Memory the system's font configuration keeps until the process ends is
// not the tool's: the leak check of sanitized runs leaves it out.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
