// SPDX-License-Identifier: MIT
#include "commands/CmdSets.h"

namespace kelvra {

namespace {
// The lines the commands log on their way and on success.
constexpr const char* RDTestOnLine = "R&D Test On";
constexpr const char* OperatorOnLine = "Operator Field Test On";
constexpr const char* DisplayOffLine = "Field Test Display Off";
constexpr const char* ResetTimersLine = "FTD Reset Timers";
constexpr const char* LocalModeLines[] = {"Init Local Mode...", "Init Local Mode Ok"};
constexpr const char* NormalModeLines[] = {"Init Normal Mode...", "Init Normal Mode Ok"};
}  // namespace

std::int32_t CmdSets::RDTestOn() { return FieldTest("00017EF3", RDTestOnLine); }
std::int32_t CmdSets::OperatorFieldTestOn() { return FieldTest("00017EF2", OperatorOnLine); }
std::int32_t CmdSets::FieldTestDisplayOff() { return FieldTest("00017EF1", DisplayOffLine); }
std::int32_t CmdSets::FTDResetTimers() { return FieldTest("00017EF0", ResetTimersLine); }

std::int32_t CmdSets::InitLocalMode() { return SetMode("00016401", LocalModeLines[0], LocalModeLines[1], 1); }

std::int32_t CmdSets::InitNormalMode() { return SetMode("00016403", NormalModeLines[0], NormalModeLines[1], 0); }

bool CmdSets::LogsProgress(std::string_view line) {
    for (const char* known : {RDTestOnLine, OperatorOnLine, DisplayOffLine, ResetTimersLine, LocalModeLines[0],
                              LocalModeLines[1], NormalModeLines[0], NormalModeLines[1]})
        if (line == known) return true;
    return false;
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
