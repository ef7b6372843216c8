// SPDX-License-Identifier: MIT
#include "tests/support/LinkFixture.h"
#include "tests/support/PhoneOnLine.h"

namespace kelvra::test {
namespace {

using Lines = std::vector<std::string>;

class CommandsTest : public LinkFixture {
protected:
    CommandsTest() { ConnectPhone(line, phone); }
    // The payload of the last command frame written.
    std::string LastPayload() const {
        for (auto frame = line.written.rbegin(); frame != line.written.rend(); ++frame)
            if (frame->size() == 12) return BytesToHex(Bytes(frame->begin() + 6, frame->begin() + 10));
        return {};
    }
    PhoneModel phone{{.replyCopies = 1}};
};

TEST_F(CommandsTest, EachCommandSendsItsPayloadAndLogsItsLines) {
    const struct {
        std::int32_t (CmdSets::*command)();
        const char* payload;
        Lines lines;
    } table[] = {
        {&CmdSets::RDTestOn, "00 01 7E F3", {"Init Local Mode...", "Init Local Mode Ok", "R&D Test On"}},
        {&CmdSets::OperatorFieldTestOn, "00 01 7E F2",
         {"Init Local Mode...", "Init Local Mode Ok", "Operator Field Test On"}},
        {&CmdSets::FieldTestDisplayOff, "00 01 7E F1",
         {"Init Local Mode...", "Init Local Mode Ok", "Field Test Display Off"}},
        {&CmdSets::FTDResetTimers, "00 01 7E F0", {"Init Local Mode...", "Init Local Mode Ok", "FTD Reset Timers"}},
        {&CmdSets::InitLocalMode, "00 01 64 01", {"Init Local Mode...", "Init Local Mode Ok"}},
        {&CmdSets::InitNormalMode, "00 01 64 03", {"Init Normal Mode...", "Init Normal Mode Ok"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.payload);
        view.lines.clear();
        EXPECT_EQ((cmds.*row.command)(), 1);
        EXPECT_EQ(view.lines, row.lines);
        EXPECT_EQ(LastPayload(), row.payload);
    }
}

TEST_F(CommandsTest, FieldTestCommandIsSentEvenWhenLocalModeFails) {
    // The line drops everything of the local-mode transaction.
    line.farEnd = [this](const Bytes& fromPc) {
        if (fromPc.size() == 12 && fromPc[8] == 0x64) return;
        line.Deliver(phone.Hear(fromPc), 0.02);
    };
    EXPECT_EQ(cmds.FieldTestDisplayOff(), 1);
    EXPECT_EQ(view.lines, (Lines{"Init Local Mode...", "Null buffer received (Echo).", "Field Test Display Off"}));
    EXPECT_EQ(link.LocalMode, 0);
}

TEST_F(CommandsTest, LocalModeIsRememberedUntilNormalMode) {
    EXPECT_EQ(link.LocalMode, 0);
    cmds.RDTestOn();
    EXPECT_EQ(link.LocalMode, 1);
    cmds.InitNormalMode();
    EXPECT_EQ(link.LocalMode, 0);
    cmds.InitLocalMode();
    line.farEnd = nullptr;  // the phone goes quiet
    EXPECT_EQ(cmds.InitNormalMode(), 0);
    EXPECT_EQ(link.LocalMode, 1) << "a failed normal-mode command leaves the phone in local mode";
}

// A failed command leaves its reason as a value: the stage that gave up and the line it logged.
TEST_F(CommandsTest, AFailureIsKeptWithItsStage) {
    using F = PhoneOptions::Fault;
    using S = LinkFailure::Stage;
    const struct {
        F fault;
        S stage;
        const char* line;
    } table[] = {
        {F::Silent, S::Echo, "Null buffer received (Echo)."},
        {F::NoAnswer, S::Ack, "Null buffer received (ACK)."},
        {F::WrongEcho, S::Echo, "Wrong Echo received."},
        {F::WrongAckEcho, S::AckEcho, "Wrong Ack Echo received."},
        {F::WrongAckSeq, S::Ack, "Communication error."},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.line);
        PhoneModel faulty{{.fault = row.fault, .replyCopies = 1}};
        ConnectPhone(line, faulty);
        view.lines.clear();
        EXPECT_EQ(monitor.RunUserCommand(UserCommand::RDOn), 0);
        ASSERT_TRUE(link.LastFailure.has_value());
        EXPECT_EQ(link.LastFailure->stage, row.stage);
        EXPECT_EQ(link.LastFailure->text, row.line);
    }
    // A line error that makes the stage waiting give up without a line of its own (reads failing)
    // is the failure kept: a device overrun while the reply is awaited.
    PhoneModel silent{{.fault = F::NoAnswer}};
    ConnectPhone(line, silent);
    line.SetOnComm([this] { monitor.OnComm(); });
    line.Raise(CommEventCode::Overrun, 12.0);
    runtime.After(12.0, [this] { line.inputError = "the device failed"; });
    EXPECT_EQ(monitor.RunUserCommand(UserCommand::RDOn), 0);
    ASSERT_TRUE(link.LastFailure.has_value());
    EXPECT_EQ(link.LastFailure->stage, S::Line);
    EXPECT_EQ(link.LastFailure->text, "Overrun Error");
    line.inputError.reset();
    line.SetOnComm({});

    // A command that succeeds after an earlier failure leaves none.
    ConnectPhone(line, phone);
    EXPECT_EQ(monitor.RunUserCommand(UserCommand::RDOn), 1);
    EXPECT_FALSE(link.LastFailure.has_value());
}

}  // namespace
}  // namespace kelvra::test
