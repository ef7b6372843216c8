// SPDX-License-Identifier: MIT
#pragma once
// The phone's net-monitor commands, each one M2BUS transaction.

#include <cstdint>
#include <span>
#include <string_view>

#include "link/CommGlobal.h"
#include "link/M2BUS.h"
#include "link/Runtime.h"

namespace kelvra {

// One phone command: what it sends, what readers of the line call it and
// what it logs. A null line is not logged.
struct PhoneCommand {
    const char* command;       // the command string, "00017EF3"
    const char* name;          // "R&D test on", as readers of the line call it
    const char* openingLine;   // logged before the transaction
    const char* successLine;   // logged when it succeeds
    bool localModeFirst;       // InitLocalMode runs first, whatever its result
    std::int32_t localModeAfter;  // LocalMode once it succeeded; -1 leaves it
};

// Every phone command, the two mode commands first.
std::span<const PhoneCommand> PhoneCommands();

// What readers of the line call the command a payload carries ("R&D test on"); empty for others.
std::string_view CommandName(const ByteString& payload);

class CmdSets {
public:
    CmdSets(M2Bus& bus, LinkState& link, LinkView& view) : bus_(bus), link_(link), view_(view) {}

    // The four field-test commands put the phone into local mode first and are
    // sent even when that fails. Each returns 1 when its own transaction succeeded.
    std::int32_t RDTestOn();
    std::int32_t OperatorFieldTestOn();
    std::int32_t FieldTestDisplayOff();
    std::int32_t FTDResetTimers();

    // Local mode sets LocalMode, normal mode clears it, so that the shut-down
    // knows whether the phone needs returning to normal mode.
    std::int32_t InitLocalMode();
    std::int32_t InitNormalMode();

    // Runs one of PhoneCommands(): its local-mode step, its lines, its transaction.
    std::int32_t Run(const PhoneCommand& command);

private:
    M2Bus& bus_;
    LinkState& link_;
    LinkView& view_;
};

}  // namespace kelvra
