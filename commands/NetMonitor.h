// SPDX-License-Identifier: MIT
#pragma once
// The link and the command set wired to one serial line, one window or
// console and one set of run-time services: what the window and headless
// runs share.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "commands/CmdSets.h"
#include "link/CommGlobal.h"
#include "link/M2BUS.h"
#include "link/PortControl.h"
#include "link/Runtime.h"

namespace kelvra {

// The four commands of the VidEvodudi menu, in its order.
enum class UserCommand { Off, ResetTimers, OperatorOn, RDOn };

// Everything the program says of one user command: the menu, the command
// line and headless runs all take it from here.
struct UserCommandEntry {
    UserCommand command;
    const char* name;      // its name on the command line (--run)
    const char* itemName;  // the VidEvodudi item's name: "MPNetOnRD"
    const char* caption;   // and its caption
    std::int32_t (CmdSets::*procedure)();
};

// Every user command, in the menu's order.
std::span<const UserCommandEntry> UserCommands();
const UserCommandEntry& UserCommandEntryOf(UserCommand command);

// The command a command-line name names; nullopt for any other name.
std::optional<UserCommand> UserCommandNamed(std::string_view name);
std::string_view UserCommandName(UserCommand command);
// The names for a usage text, in the menu's order: "a, b, c or d".
std::string UserCommandNameList();

class NetMonitor {
    // First, so that the link below is built on them.
    SerialComm& comm_;
    Runtime& runtime_;
    LinkView& view_;

public:
    NetMonitor(SerialComm& comm, Runtime& runtime, LinkView& view)
        : comm_(comm), runtime_(runtime), view_(view) {}

    // Start-up: the link settings and the frame constants.
    void InitLink();

    // A VidEvodudi menu command: the hourglass, the command with its
    // local-mode step, the port closed again, the arrow. Returns the result
    // of the command's own transaction; link.LastFailure then tells why the
    // last step that failed did (a line event that came meanwhile included).
    std::int32_t RunUserCommand(UserCommand command);

    // Reports the serial line event being raised: a log line for events; a log
    // line, a beep and the OK/Cancel box for errors, Cancel closing the port.
    // Returns the box's answer, or 0 when no box was shown.
    int OnComm();

    LinkState link;
    PortControl port{link, comm_, runtime_, view_};
    M2Bus bus{link, comm_, runtime_, view_, port};
    CmdSets cmds{bus, link, view_};
};

}  // namespace kelvra
