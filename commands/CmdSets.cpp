// SPDX-License-Identifier: MIT
#include "commands/CmdSets.h"

namespace kelvra {

namespace {
constexpr PhoneCommand Commands[] = {
    {"00016401", "Init local mode", "Init Local Mode...", "Init Local Mode Ok", false, 1},
    {"00016403", "Init normal mode", "Init Normal Mode...", "Init Normal Mode Ok", false, 0},
    {"00017EF3", "R&D test on", nullptr, "R&D Test On", true, -1},
    {"00017EF2", "Operator field test on", nullptr, "Operator Field Test On", true, -1},
    {"00017EF1", "Field test display off", nullptr, "Field Test Display Off", true, -1},
    {"00017EF0", "Reset timers", nullptr, "FTD Reset Timers", true, -1},
};
enum CommandIndex { LocalMode, NormalMode, RDOn, OperatorOn, DisplayOff, ResetTimers };
}  // namespace

std::span<const PhoneCommand> PhoneCommands() { return Commands; }

std::string_view CommandName(const ByteString& payload) {
    for (const auto& known : Commands)
        if (HexToBytes(known.command) == payload) return known.name;
    return {};
}

std::int32_t CmdSets::RDTestOn() { return Run(Commands[RDOn]); }
std::int32_t CmdSets::OperatorFieldTestOn() { return Run(Commands[OperatorOn]); }
std::int32_t CmdSets::FieldTestDisplayOff() { return Run(Commands[DisplayOff]); }
std::int32_t CmdSets::FTDResetTimers() { return Run(Commands[ResetTimers]); }
std::int32_t CmdSets::InitLocalMode() { return Run(Commands[LocalMode]); }
std::int32_t CmdSets::InitNormalMode() { return Run(Commands[NormalMode]); }

std::int32_t CmdSets::Run(const PhoneCommand& command) {
    if (command.localModeFirst) InitLocalMode();
    if (command.openingLine != nullptr) view_.LogLine(command.openingLine);
    if (!bus_.SendCommand(command.command)) return 0;
    if (command.localModeAfter >= 0) link_.LocalMode = command.localModeAfter;
    view_.LogLine(command.successLine);
    return 1;
}

}  // namespace kelvra
