// SPDX-License-Identifier: MIT
#pragma once
// What the program needs of the platform besides Qt.

#include <QString>

namespace kelvra {

// The folder of the running program.
QString ProgramFolder();

// A program without a console window of its own (the Windows build) writes
// to the console it was started from, unless its output is redirected. Does
// nothing elsewhere.
void UseParentConsole();

}  // namespace kelvra
