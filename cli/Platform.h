// SPDX-License-Identifier: MIT
#pragma once
// What the program needs of the platform besides Qt.

#include <QString>

#include <string>
#include <vector>

namespace kelvra {

// Whether there is a display to show the window on (an X or Wayland session, or a Qt platform chosen).
bool DisplayAvailable();

// The folder of the running program.
QString ProgramFolder();

// A program without a console window of its own (the Windows build) writes
// to the console it was started from, unless its output is redirected. Does
// nothing elsewhere.
void UseParentConsole();

// The program's arguments as UTF-8: on Windows from the wide command line
// (argv holds only what the ANSI code page can carry), elsewhere argv as given.
std::vector<std::string> Arguments(int argc, char** argv);

// Says why the program cannot start: on standard error, and on Windows in a
// message box too when nobody sees standard error (started from Explorer or
// the Start menu), with the platform's own paths.
void StartFailure(const std::string& text);

}  // namespace kelvra
