// SPDX-License-Identifier: MIT
#pragma once
// The command line of kelvra-netmon.

#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/NetMonitor.h"

namespace kelvra {

struct Options {
    bool help = false;
    bool version = false;
    bool listPorts = false;
    // Listen to the chosen port without writing (--listen).
    bool listen = false;
    // The port chosen at start (--com), 1 to 4.
    int com = 1;
    // The chosen port's device for this run, as the bytes given (--device).
    std::optional<std::string> device;
    // A command to run without a window (--run).
    std::optional<UserCommand> run;
    // Ports to remember (--map <n>=<path>; an empty path forgets).
    std::vector<std::pair<int, std::string>> maps;
    std::optional<std::string> logFile;
    // A pcapng capture of the line (--capture).
    std::optional<std::string> captureFile;
    // The usage text; filled only when --help is given.
    QString helpText;

    // Whether the window is to be shown.
    bool Window() const { return !help && !version && !listPorts && maps.empty() && !run && !listen; }
};

// Parses argv; on a usage error returns nullopt with `error` set to one line.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

}  // namespace kelvra
