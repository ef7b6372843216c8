// SPDX-License-Identifier: MIT
#include "commands/NetMonitor.h"

#include <exception>

#include "commands/LineEvents.h"

namespace kelvra {

namespace {

constexpr const char* LineErrorCaption = "Click Cancel to quit, OK to ignore.";

constexpr UserCommandEntry Entries[] = {
    {UserCommand::Off, "off", "MPNetOff", "O&ff", &CmdSets::FieldTestDisplayOff},
    {UserCommand::ResetTimers, "reset-timers", "MPNetReset", "&Reset timers", &CmdSets::FTDResetTimers},
    {UserCommand::OperatorOn, "operator-on", "MPNetOnOperator", "&Operatof field test On",
     &CmdSets::OperatorFieldTestOn},
    {UserCommand::RDOn, "rd-on", "MPNetOnRD", "R&D test On", &CmdSets::RDTestOn},
};

// Each row stands at its command's place, so a command finds its row by number.
constexpr bool InEnumOrder() {
    for (std::size_t i = 0; i < std::size(Entries); ++i)
        if (Entries[i].command != static_cast<UserCommand>(i)) return false;
    return true;
}
static_assert(InEnumOrder(), "the user commands' rows follow UserCommand's order");

// Sets the arrow when it goes, also when an error abandons the command.
class ArrowAtEnd {
public:
    explicit ArrowAtEnd(Runtime& runtime) : runtime_(runtime) {}
    ~ArrowAtEnd() {
        try {
            runtime_.SetMousePointer(MousePointer::Arrow);
        } catch (const std::exception&) {
        }
    }
    ArrowAtEnd(const ArrowAtEnd&) = delete;
    ArrowAtEnd& operator=(const ArrowAtEnd&) = delete;

private:
    Runtime& runtime_;
};

}  // namespace

std::span<const UserCommandEntry> UserCommands() { return Entries; }

const UserCommandEntry& UserCommandEntryOf(UserCommand command) {
    return Entries[static_cast<std::size_t>(command)];
}

std::optional<UserCommand> UserCommandNamed(std::string_view name) {
    for (const auto& entry : Entries)
        if (name == entry.name) return entry.command;
    return std::nullopt;
}

std::string_view UserCommandName(UserCommand command) { return UserCommandEntryOf(command).name; }

std::string UserCommandNameList() {
    std::string list;
    for (std::size_t i = 0; i < std::size(Entries); ++i)
        list += (i == 0 ? "" : i + 1 == std::size(Entries) ? " or " : ", ") + std::string(Entries[i].name);
    return list;
}

void NetMonitor::InitLink() {
    InitLinkSettings(link);
    InitLinkConsts(link);
}

std::int32_t NetMonitor::RunUserCommand(UserCommand command) {
    const ArrowAtEnd arrow(runtime_);
    runtime_.SetMousePointer(MousePointer::Hourglass);
    link.LastFailure.reset();
    const std::int32_t result = (cmds.*UserCommandEntryOf(command).procedure)();
    port.TogglePort();
    return result;
}

int NetMonitor::OnComm() {
    comm_.SetBreak(false);
    const CommError* error = comm_.CommEventError();
    const CommEventReport report = DescribeCommEvent(comm_.CommEvent(), comm_.CommEventText());
    if (report.kind == CommEventReport::Ignored) return 0;
    view_.LogLine(report.text);
    link.LastFailure = LinkFailure{LinkFailure::Stage::Line, report.text, {}, {}};
    if (error != nullptr) link.LastFailure->cause = *error;
    if (report.kind == CommEventReport::Event) return 0;
    runtime_.Beep();
    const int answer = runtime_.MsgBox(report.text, MsgButtons::OkCancel, MsgIcon::None, LineErrorCaption);
    if (answer == MsgAnswer::Cancel) port.TogglePort();
    return answer;
}

}  // namespace kelvra
