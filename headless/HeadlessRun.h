// SPDX-License-Identifier: MIT
#pragma once
// One VidEvodudi command without a window, for scripts: log lines on
// standard output, message boxes as lines on standard error.

#include "commands/NetMonitor.h"
#include "record/LineCapture.h"
#include "record/LogFile.h"
#include "runtime/RunStatus.h"
#include "serial/PortMap.h"

namespace kelvra {

struct HeadlessRequest {
    UserCommand command = UserCommand::RDOn;
    // The port the command runs on, and which device each port is.
    int port = 1;
    PortMap ports;
    // Where log lines and boxes are recorded besides, if anywhere.
    Recorder* recorder = nullptr;
    // Where the line is captured, if anywhere.
    LineCapture* capture = nullptr;
};

// Runs the command as the menu item does (the command with its local-mode
// step, then the port closed) and returns the exit status. A failed command
// ends with one line on standard error naming the command, the port and the
// last failure. A termination signal ends the run as soon as the step in
// hand returns, the port closed first, and is recorded. Needs a
// QCoreApplication, but no display.
int RunHeadless(const HeadlessRequest& request);

}  // namespace kelvra
