// SPDX-License-Identifier: MIT
#include "commands/CmdSets.h"

namespace kelvra {

std::int32_t CmdSets::RDTestOn() { return FieldTest("00017EF3", "R&D Test On"); }
std::int32_t CmdSets::OperatorFieldTestOn() { return FieldTest("00017EF2", "Operator Field Test On"); }
std::int32_t CmdSets::FieldTestDisplayOff() { return FieldTest("00017EF1", "Field Test Display Off"); }
std::int32_t CmdSets::FTDResetTimers() { return FieldTest("00017EF0", "FTD Reset Timers"); }

std::int32_t CmdSets::InitLocalMode() {
    return SetMode("00016401", "Init Local Mode...", "Init Local Mode Ok", 1);
}

std::int32_t CmdSets::InitNormalMode() {
    return SetMode("00016403", "Init Normal Mode...", "Init Normal Mode Ok", 0);
}

std::int32_t CmdSets::FieldTest(const char* command, const char* successLine) {
    InitLocalMode();
    if (!bus_.SendCommand(command)) return 0;
    view_.LogLine(successLine);
    return 1;
}

std::int32_t CmdSets::SetMode(const char* command, const char* openingLine, const char* successLine,
                              std::int32_t localMode) {
    view_.LogLine(openingLine);
    if (!bus_.SendCommand(command)) return 0;
    link_.LocalMode = localMode;
    view_.LogLine(successLine);
    return 1;
}

}  // namespace kelvra
