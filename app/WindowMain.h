// SPDX-License-Identifier: MIT
#pragma once
// The window as a module of its own: kelvra-netmon loads it only when the
// window is to be shown, so that runs without a window load no GUI library.

#include <string>

#include "record/LineCapture.h"
#include "record/LogFile.h"
#include "serial/PortMap.h"

namespace kelvra {

// What the command line and the settings file give the window.
struct WindowRequest {
    int startPort = 1;
    PortMap ports;
    // The log file to keep and the line's capture, if any, or why one could not be opened.
    LogFile* log = nullptr;
    LineCapture* capture = nullptr;
    std::string recordError;
};

// The name of the module's entry point, and its type: it creates the
// application, shows the window and returns the program's exit status.
constexpr const char* WindowMainSymbol = "KelvraWindowMain";
using WindowMainFunction = int (*)(int& argc, char** argv, const WindowRequest& request);

}  // namespace kelvra
