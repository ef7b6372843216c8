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

namespace {
// The command strings, and what readers of the line call each command.
constexpr struct {
    const char* command;
    const char* name;
} Commands[] = {
    {"00016401", "Init local mode"},        {"00016403", "Init normal mode"},
    {"00017EF3", "R&D test on"},            {"00017EF2", "Operator field test on"},
    {"00017EF1", "Field test display off"}, {"00017EF0", "Reset timers"},
};
enum CommandIndex { LocalMode, NormalMode, RDOn, OperatorOn, DisplayOff, ResetTimers };
}  // namespace

std::string_view CommandName(const ByteString& payload) {
    for (const auto& known : Commands)
        if (HexToBytes(known.command) == payload) return known.name;
    return {};
}

std::int32_t CmdSets::RDTestOn() { return FieldTest(Commands[RDOn].command, RDTestOnLine); }
std::int32_t CmdSets::OperatorFieldTestOn() { return FieldTest(Commands[OperatorOn].command, OperatorOnLine); }
std::int32_t CmdSets::FieldTestDisplayOff() { return FieldTest(Commands[DisplayOff].command, DisplayOffLine); }
std::int32_t CmdSets::FTDResetTimers() { return FieldTest(Commands[ResetTimers].command, ResetTimersLine); }

std::int32_t CmdSets::InitLocalMode() {
    return SetMode(Commands[LocalMode].command, LocalModeLines[0], LocalModeLines[1], 1);
}

std::int32_t CmdSets::InitNormalMode() {
    return SetMode(Commands[NormalMode].command, NormalModeLines[0], NormalModeLines[1], 0);
}

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
