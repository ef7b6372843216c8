// SPDX-License-Identifier: MIT
#include "tests/support/LinkFixture.h"
#include "link/Frame.h"
#include "tests/support/PhoneOnLine.h"

namespace kelvra::test {
namespace {

using Lines = std::vector<std::string>;
using Fault = PhoneOptions::Fault;

class TransactionTest : public LinkFixture {
protected:
    void Phone(PhoneOptions options = {}) {
        phone = PhoneModel(std::move(options));
        ConnectPhone(line, phone);
    }
    std::vector<std::string> Written() const {
        std::vector<std::string> frames;
        for (const Bytes& frame : line.written) frames.push_back(BytesToHex(frame));
        return frames;
    }
    PhoneModel phone;
};

TEST_F(TransactionTest, SuccessfulExchangePutsTheseFramesOnTheLine) {
    Phone();
    line.open = false;
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_EQ(Written(), (Lines{"1F 00 10 40 00 04 00 01 64 01 01 2E", "1F 00 10 40 00 04 00 01 64 01 01 2E",
                                "1F 00 10 7F 01 71"}));
    EXPECT_EQ(view.lines, (Lines{"COM port open.", "Attention ! Received 3 command block."}));
    EXPECT_EQ(Block(), "00 01 64 01") << "the reply payload";
    EXPECT_EQ(link.TxSeq, 1);
    EXPECT_EQ(link.RxSeq, 1);
    EXPECT_EQ(Rx(), "");
    EXPECT_LT(runtime.now, 1.0) << "three copies end the reply wait at once";

    EXPECT_EQ(bus.SendCommand("00017EF3"), 1);
    EXPECT_EQ(Written().at(3), "1F 00 10 40 00 04 00 01 7E F3 02 C5") << "the next transaction carries 2";
    EXPECT_EQ(link.TxSeq, 2);
}

TEST_F(TransactionTest, SingleReplyWaitsOutTheReplyTimeoutThenSucceeds) {
    Phone({.replyCopies = 1});
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_GE(runtime.now, 10.0);
    EXPECT_LT(runtime.now, 10.5);
    EXPECT_TRUE(view.lines.empty());
}

TEST_F(TransactionTest, PortThatCannotBeOpenedEndsBeforeAnyFrame) {
    line.open = false;
    line.openError = "/dev/ttyS0: No such file or directory";
    link.CmdBlock = {0x42};
    EXPECT_EQ(bus.SendCommand("00016401"), 0);
    ASSERT_EQ(runtime.boxes.size(), 2u);
    EXPECT_EQ(runtime.boxes[0].prompt, "/dev/ttyS0: No such file or directory");
    EXPECT_EQ(runtime.boxes[1].prompt, "COM port error !");
    EXPECT_EQ(runtime.boxes[1].icon, MsgIcon::Exclamation);
    EXPECT_EQ(runtime.boxes[1].caption, App::Title);
    EXPECT_TRUE(line.written.empty());
    EXPECT_EQ(Block(), "42");
}

TEST_F(TransactionTest, SilentLineFailsAtTheFirstEcho) {
    Phone({.fault = Fault::Silent});
    EXPECT_EQ(bus.SendCommand("00016401"), 0);
    EXPECT_EQ(line.written.size(), 1u) << "the repeated copy is never sent";
    EXPECT_EQ(view.lines, Lines{"Null buffer received (Echo)."});
    EXPECT_EQ(link.TxSeq, 1);
    EXPECT_DOUBLE_EQ(runtime.now, 10.0);
}

TEST_F(TransactionTest, FaultsEndTheExchangeAtTheirStage) {
    const struct {
        Fault fault;
        Lines lines;
        std::size_t framesWritten;
        const char* blockAfter;
    } cases[] = {
        {Fault::WrongEcho, {"Wrong Echo received."}, 1, ""},
        {Fault::NoEcho, {"Null buffer received (Echo)."}, 1, ""},
        {Fault::WrongAckSeq, {"Communication error."}, 2, ""},
        {Fault::WrongAckEcho, {"Attention ! Received 3 command block.", "Wrong Ack Echo received."}, 3, "00 01 64 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        view.lines.clear();
        line.written.clear();
        link.TxSeq = 0;
        Phone({.fault = c.fault});
        EXPECT_EQ(bus.SendCommand("00016401"), 0);
        EXPECT_EQ(view.lines, c.lines);
        EXPECT_EQ(line.written.size(), c.framesWritten);
        EXPECT_EQ(Block(), c.blockAfter) << "a failure before the reply leaves CmdBlock empty";
        EXPECT_EQ(link.TxSeq, 1);
    }
}

TEST_F(TransactionTest, LeftoverReplyCopiesDoNotHideTheAckEcho) {
    Phone({.fault = Fault::DifferingReplies});
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_TRUE(view.lines.empty()) << "copies that differ are not counted";
    EXPECT_EQ(Rx(), "");
}

TEST_F(TransactionTest, PhoneAnsweringBothCopiesAndNoiseBeforeEveryAnswer) {
    Phone({.noise = true, .answerEveryCopy = true});
    int succeeded = 0;
    for (int i = 0; i < 100; ++i) succeeded += bus.SendCommand("00016401");
    EXPECT_EQ(succeeded, 100);
}

TEST_F(TransactionTest, PhoneHearingFramesAByteAtATime) {
    // As a UART hands the phone the PC's bytes: a frame may arrive cut anywhere.
    line.farEnd = [this](const Bytes& fromPc) {
        for (std::uint8_t byte : fromPc) line.Deliver(phone.Hear({byte}), 0.02);
    };
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
}

// The virtual phone takes only the PC's whole frames: one cut short by the next frame start, or one
// addressed as the phone's own, is passed over, never answered.
TEST(PhoneModelFrames, OnlyThePcsWholeFramesAreHeard) {
    LinkState consts;
    InitLinkConsts(consts);
    const Bytes payload = HexToBytes("00016401");
    const Bytes command = M2Frame::Command(consts.FrameId, consts.TxAddr, consts.CmdType, payload, 1);
    const Bytes cutShort(command.begin(), command.begin() + 6);
    const Bytes phones = M2Frame::Command(consts.FrameId, consts.RxAddr, consts.CmdType, payload, 1);
    const struct {
        const char* what;
        std::vector<Bytes> said;
        std::size_t heard;
    } cases[] = {
        {"a command and its copy", {command, command}, 2},
        {"a command cut short by its copy", {cutShort, command}, 1},
        {"a frame addressed as the phone's", {phones, phones}, 0},
    };
    for (const auto& c : cases) {
        PhoneModel phone({.fault = Fault::NoEcho});
        Bytes answer;
        for (const Bytes& bytes : c.said) answer = phone.Hear(bytes);
        EXPECT_EQ(phone.FramesHeard().size(), c.heard) << c.what;
        EXPECT_EQ(answer.empty(), c.heard < 2) << c.what << ": only a repeated command is answered";
    }
}

TEST_F(TransactionTest, RejectedReplyChangesNothingForTheNextCommand) {
    // A reply typed 7F 00 that is cut before its checksum byte.
    line.farEnd = [this](const Bytes& fromPc) {
        Bytes answer = fromPc;
        if (fromPc.size() == 12 && line.written.size() == 2)
            for (const char* frame : {"1F10007F0171", "1F10007F000400016401" "01"}) {
                const Bytes bytes = Hex(frame);
                answer.insert(answer.end(), bytes.begin(), bytes.end());
            }
        line.Deliver(answer, 0.02);
    };
    EXPECT_EQ(bus.SendCommand("00016401"), 0);
    EXPECT_EQ(BytesToHex(link.CmdType), "40 00");
    Phone();
    EXPECT_EQ(bus.SendCommand("00017EF3"), 1);
    EXPECT_EQ(BytesToHex(Bytes(line.written[2].begin() + 3, line.written[2].begin() + 5)), "40 00");
}

TEST_F(TransactionTest, ReplyTypeIsKeptOnlyWhenTheWholeExchangeSucceeds) {
    Phone({.fault = Fault::WrongAckEcho, .replyType = {0x41, 0x00}});
    EXPECT_EQ(bus.SendCommand("00016401"), 0);
    EXPECT_EQ(BytesToHex(link.CmdType), "40 00");
}

TEST_F(TransactionTest, StaleBytesAreDiscardedBeforeTheExchange) {
    Phone();
    line.inBuffer = Hex("1F0010400004000164FF01D0");
    link.RxBuffer = Hex("1F10007F0170");
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_EQ(view.lines, Lines{"Attention ! Received 3 command block."});
}

TEST_F(TransactionTest, ReplyTypeBytesCarryIntoTheNextCommandFrame) {
    Phone({.replyType = {0x41, 0x00}});
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_EQ(BytesToHex(link.CmdType), "41 00");
    line.written.clear();
    bus.SendCommand("00017EF3");
    ASSERT_FALSE(line.written.empty());
    EXPECT_EQ(line.written[0][3], 0x41);
    EXPECT_EQ(line.written[0][4], 0x00);
}

TEST_F(TransactionTest, SequenceNumberWrapsAfter255) {
    Phone();
    link.TxSeq = 254;
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_EQ(link.TxSeq, 255);
    EXPECT_EQ(bus.SendCommand("00016401"), 1);
    EXPECT_EQ(link.TxSeq, 0);
    EXPECT_EQ(line.written.at(3).at(10), 0x00) << "the frame after 255 carries 0";
}

TEST_F(TransactionTest, WithoutDoubleSendTheFrameGoesOnce) {
    link.DoubleSend = 0;
    Phone();
    EXPECT_EQ(bus.SendCommand("00016401"), 0) << "this phone only answers a repeated frame";
    EXPECT_EQ(line.written.size(), 1u);
    EXPECT_EQ(view.lines, Lines{"Null buffer received (ACK)."});
}

}  // namespace
}  // namespace kelvra::test
