// SPDX-License-Identifier: MIT
#pragma once
// The window as a module of its own: kelvra-netmon loads it only when the
// window is to be shown, so that runs without a window load no GUI library.

#include <string>

#include "record/LogFile.h"
#include "serial/PortMap.h"

namespace kelvra {

// What the command line and the settings file give the window.
struct WindowRequest {
    int startPort = 1;
    PortMap ports;
    // The log file to keep, if any, or why it could not be opened.
    LogFile* log = nullptr;
    std::string logError;
};

// The name of the module's entry point, and its type: it creates the
// application, shows the window and returns the program's exit status.
constexpr const char* WindowMainSymbol = "KelvraWindowMain";
using WindowMainFunction = int (*)(int& argc, char** argv, const WindowRequest& request);

}  // namespace kelvra
