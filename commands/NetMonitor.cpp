// SPDX-License-Identifier: MIT
#include "commands/NetMonitor.h"

#include <exception>

#include "commands/LineEvents.h"

namespace kelvra {

namespace {

constexpr const char* LineErrorCaption = "Click Cancel to quit, OK to ignore.";

struct UserCommandEntry {
    UserCommand command;
    const char* name;
    std::int32_t (CmdSets::*procedure)();
};

constexpr UserCommandEntry UserCommands[] = {
    {UserCommand::Off, "off", &CmdSets::FieldTestDisplayOff},
    {UserCommand::ResetTimers, "reset-timers", &CmdSets::FTDResetTimers},
    {UserCommand::OperatorOn, "operator-on", &CmdSets::OperatorFieldTestOn},
    {UserCommand::RDOn, "rd-on", &CmdSets::RDTestOn},
};


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

std::optional<UserCommand> UserCommandNamed(std::string_view name) {
    for (const auto& entry : UserCommands)
        if (name == entry.name) return entry.command;
    return std::nullopt;
}

std::string_view UserCommandName(UserCommand command) {
    for (const auto& entry : UserCommands)
        if (entry.command == command) return entry.name;
    return {};
}

bool ReportsProgress(std::string_view line) {
    return CmdSets::LogsProgress(line) || line == PortControl::OpenedLine || line == PortControl::ClosedLine ||
           line.rfind(Receiver::CopiesLineStart, 0) == 0;
}

void NetMonitor::InitLink() {
    InitLinkSettings(link);
    InitLinkConsts(link);
}

std::int32_t NetMonitor::RunUserCommand(UserCommand command) {
    const ArrowAtEnd arrow(runtime_);
    runtime_.SetMousePointer(MousePointer::Hourglass);
    std::int32_t result = 0;
    for (const auto& entry : UserCommands)
        if (entry.command == command) result = (cmds.*entry.procedure)();
    port.TogglePort();
    return result;
}

int NetMonitor::OnComm() {
    comm_.SetBreak(false);
    const CommEventReport report = DescribeCommEvent(comm_.CommEvent(), comm_.CommEventText());
    if (report.kind == CommEventReport::Ignored) return 0;
    view_.LogLine(report.text);
    if (report.kind == CommEventReport::Event) return 0;
    runtime_.Beep();
    const int answer = runtime_.MsgBox(report.text, MsgButtons::OkCancel, MsgIcon::None, LineErrorCaption);
    if (answer == MsgAnswer::Cancel) port.TogglePort();
    return answer;
}

}  // namespace kelvra
