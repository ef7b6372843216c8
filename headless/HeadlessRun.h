// SPDX-License-Identifier: MIT
#pragma once
// One VidEvodudi command without a window, for scripts: log lines on
// standard output, message boxes as lines on standard error.

#include "commands/NetMonitor.h"
#include "record/LogFile.h"
#include "serial/PortMap.h"

namespace kelvra {

struct HeadlessRequest {
    UserCommand command = UserCommand::RDOn;
    // The port the command runs on, and which device each port is.
    int port = 1;
    PortMap ports;
    // Where log lines and boxes are recorded besides, if anywhere.
    Recorder* recorder = nullptr;
};

// Runs the command as the menu item does (the command with its local-mode
// step, then the port closed) and returns the exit status: 0 when the
// command's own transaction succeeded, 1 when it failed, 128 + the signal's
// number when SIGINT or SIGTERM ended it (the port closed first). Needs a
// QCoreApplication, but no display.
int RunHeadless(const HeadlessRequest& request);

}  // namespace kelvra
