// SPDX-License-Identifier: MIT
#include <functional>

#include "tests/support/LinkFixture.h"

namespace kelvra::test {
namespace {

using Lines = std::vector<std::string>;
const ByteString LocalMode{0x00, 0x01, 0x64, 0x01};

class ReceiverTest : public LinkFixture {
public:
    std::int32_t Echo(float timeout = 0.0f) { return stages.RecvEcho(LocalMode, timeout); }
    std::int32_t AckEcho(float timeout = 0.0f) { return stages.RecvAckEcho(timeout); }
    std::int32_t Ack(float timeout = 0.0f) { return stages.RecvAck(timeout); }
    std::int32_t CmdBlock(float timeout = 0.0f) { return stages.RecvCmdBlock(timeout); }
};

TEST_F(ReceiverTest, TypicalEchoLeavesThePhonesAckForTheNextStage) {
    Arrive("1F 00 10 40 00 04 00 01 64 01 01 2E 1F 10 00 7F 01 71");
    EXPECT_EQ(Echo(), 1);
    EXPECT_EQ(link.DataLen, 4);
    EXPECT_EQ(Block(), "00 01 64 01");
    EXPECT_EQ(Rx(), "1F 10 00 7F 01 71");
    EXPECT_DOUBLE_EQ(runtime.now, 0.1) << "the wait ends as soon as the frame is in";
    EXPECT_TRUE(view.lines.empty());
}

TEST_F(ReceiverTest, TimeoutZeroMeansReplyTimeoutAndIsWrittenBack) {
    float timeout = 0.0f;
    EXPECT_EQ(stages.RecvEcho(LocalMode, timeout), 0);
    EXPECT_EQ(timeout, 10.0f);
    EXPECT_DOUBLE_EQ(runtime.now, 10.0);
    EXPECT_EQ(view.lines, Lines{"Null buffer received (Echo)."});

    timeout = 2.5f;
    EXPECT_EQ(stages.RecvAck(timeout), 0);
    EXPECT_EQ(timeout, 2.5f) << "a given timeout is used as it is";
    EXPECT_DOUBLE_EQ(runtime.now, 12.5);
}

TEST_F(ReceiverTest, NegativeTimeoutRunsNoPass) {
    Arrive("1F 00 10 40 00 04 00 01 64 01 01 2E", 0.0);
    EXPECT_EQ(Echo(-1.0f), 0);
    EXPECT_EQ(view.lines, Lines{"Null buffer received (Echo)."}) << "nothing was read";
    link.RxBuffer = Hex("1F00104000040001640101" "2E");
    EXPECT_EQ(Echo(-1.0f), 0);
    EXPECT_EQ(view.lines.back(), "Device not responding (Echo).") << "no pass found the frame";
    EXPECT_EQ(runtime.doEventsCalls, 0);
}

TEST_F(ReceiverTest, EchoOutcomes) {
    const struct {
        const char* name;
        const char* arriving;
        std::int32_t result;
        const char* line;  // nullptr: no line
        const char* rxAfter;
        const char* blockAfter;
    } cases[] = {
        {"stray bytes before the echo are skipped", "AA BB 1F 00 10 40 00 04 00 01 64 01 01 2E 99", 1, nullptr, "99",
         "00 01 64 01"},
        {"a wrong payload", "1F 00 10 40 00 04 00 01 64 02 01 2E", 0, "Wrong Echo received.",
         "1F 00 10 40 00 04 00 01 64 02 01 2E", ""},
        {"a frame from the phone is not an echo", "1F 10 00 7F 01 71", 0, "Device not responding (Echo).",
         "1F 10 00 7F 01 71", ""},
        {"payload cut short at the deadline", "AA BB CC DD 1F 00 10 40 00 04 00 01", 0, "Wrong Echo received.",
         "1F 00 10 40 00 04 00 01", ""},
        {"sequence and checksum missing at the deadline", "AA BB 1F 00 10 40 00 04 00 01 64 01", 0, nullptr,
         "1F 00 10 40 00 04 00 01 64 01", "00 01 64 01"},
        {"length byte missing", "AA BB CC DD EE FF 11 1F 00 10 40 00", 0, nullptr, "1F 00 10 40 00", ""},
        {"length byte disagrees, payload matches", "1F 00 10 40 00 02 00 01 64 01 01 2E", 1, nullptr, "", "00 01"},
        {"length byte beyond the buffer", "1F 00 10 40 00 09 00 01 64 01 01 2E", 1, nullptr, "",
         "00 01 64 01 01 2E"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.RxBuffer.clear();
        view.lines.clear();
        Arrive(c.arriving);
        EXPECT_EQ(Echo(), c.result);
        EXPECT_EQ(view.lines, c.line ? Lines{c.line} : Lines{});
        EXPECT_EQ(Rx(), c.rxAfter);
        EXPECT_EQ(Block(), c.blockAfter);
    }
}

TEST_F(ReceiverTest, AckEchoOutcomes) {
    const struct {
        const char* arriving;
        std::int32_t result;
        const char* line;
        const char* rxAfter;
        const char* blockAfter;
    } cases[] = {
        {"1F 00 10 7F 05 75", 1, nullptr, "", "7F"},
        {"1F 00 10 7F 05 75 1F 10", 1, nullptr, "1F 10", "7F"},
        {"1F 00 10 7F 05", 0, nullptr, "1F 00 10 7F 05", "7F"},
        {"1F 00 10 7F", 0, nullptr, "1F 00 10 7F", "7F"},
        {"1F 00 10", 0, "Wrong Ack Echo received.", "1F 00 10", ""},
        {"1F 00 10 7E 05 75", 0, "Wrong Ack Echo received.", "1F 00 10 7E 05 75", ""},
        {"", 0, "Null buffer received (Ack Echo).", "", ""},
        {"10 00 7F", 0, "Device not responding (Ack Echo).", "10 00 7F", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arriving);
        link.RxBuffer.clear();
        view.lines.clear();
        if (*c.arriving) Arrive(c.arriving);
        EXPECT_EQ(AckEcho(), c.result);
        EXPECT_EQ(view.lines, c.line ? Lines{c.line} : Lines{});
        EXPECT_EQ(Rx(), c.rxAfter);
        EXPECT_EQ(Block(), c.blockAfter);
    }
}

TEST_F(ReceiverTest, TypicalAcknowledgementAndSingleReply) {
    link.TxSeq = 1;
    Arrive("1F 10 00 7F 01 71 1F 10 00 40 00 02 AA BB 05 59");
    EXPECT_EQ(Ack(), 1);
    EXPECT_EQ(Rx(), "1F 10 00 40 00 02 AA BB 05 59");
    EXPECT_EQ(Block(), "7F");
    const double replyStart = runtime.now;
    EXPECT_EQ(CmdBlock(), 1);
    EXPECT_DOUBLE_EQ(runtime.now, replyStart + 10.0) << "one copy never completes the wait for three";
    EXPECT_EQ(BytesToHex(link.CmdType), "40 00");
    EXPECT_EQ(link.DataLen, 2);
    EXPECT_EQ(link.RxSeq, 5);
    EXPECT_EQ(Block(), "AA BB");
    EXPECT_EQ(Rx(), "");
    EXPECT_TRUE(view.lines.empty());
}

TEST_F(ReceiverTest, AcknowledgementOutcomes) {
    const struct {
        const char* name;
        const char* arriving;
        std::int32_t result;
        const char* line;
        const char* rxAfter;
    } cases[] = {
        {"wrong sequence number", "1F 10 00 7F 02 72", 0, "Communication error.", "1F 10 00 7F 02 72"},
        {"the reply arriving first is taken for the ack", "1F 10 00 40 00 02 AA BB 05 59", 1, nullptr,
         "AA BB 05 59"},
        {"checksum missing at the deadline", "1F 10 00 7F 01", 1, nullptr, ""},
        {"sequence byte missing at the deadline", "1F 10 00 7F", 0, nullptr, "1F 10 00 7F"},
        {"stray bytes dropped", "00 00 1F 10 00 7F 01 71 1F", 1, nullptr, "1F"},
        {"the PC's own echo is not an ack", "1F 00 10 7F 01 71", 0, "Device not responding (ACK).",
         "1F 00 10 7F 01 71"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.RxBuffer.clear();
        view.lines.clear();
        link.TxSeq = 1;
        Arrive(c.arriving);
        EXPECT_EQ(Ack(), c.result);
        EXPECT_EQ(view.lines, c.line ? Lines{c.line} : Lines{});
        EXPECT_EQ(Rx(), c.rxAfter);
        EXPECT_EQ(Block(), c.result ? "7F" : "");
    }
    link.RxBuffer.clear();
    EXPECT_EQ(Ack(), 0);
    EXPECT_EQ(view.lines.back(), "Null buffer received (ACK).");
}

TEST_F(ReceiverTest, ThreeIdenticalRepliesEndTheWaitEarlyAndAreCounted) {
    const char* reply = "1F 10 00 40 00 02 AA BB 05 59 ";
    Arrive(std::string(reply) + reply + reply + "1F 00 10");
    EXPECT_EQ(CmdBlock(), 1);
    EXPECT_DOUBLE_EQ(runtime.now, 0.1);
    EXPECT_EQ(view.lines, Lines{"Attention ! Received 3 command block."});
    EXPECT_EQ(Rx(), "1F 00 10") << "what follows the copies stays for the ack echo";
    EXPECT_EQ(Block(), "AA BB");
}

TEST_F(ReceiverTest, ReplyOutcomes) {
    const struct {
        const char* name;
        const char* arriving;
        std::int32_t result;
        const char* line;
        const char* rxAfter;
        const char* typeAfter;
        int dataLenAfter;
        int rxSeqAfter;
        const char* blockAfter;
    } cases[] = {
        {"copies that differ count once", "1F 10 00 40 00 01 AA 05 F0 1F 10 00 40 00 01 AA 06 F3", 1, nullptr,
         "1F 10 00 40 00 01 AA 06 F3", "40 00", 1, 5, "AA"},
        {"two copies", "1F 10 00 40 00 01 AA 05 F0 1F 10 00 40 00 01 AA 05 F0", 1,
         "Attention ! Received 2 command block.", "", "40 00", 1, 5, "AA"},
        {"empty payload", "1F 10 00 40 00 00 07 58", 1, nullptr, "", "40 00", 0, 7, ""},
        {"stray bytes before the reply", "00 11 1F 10 00 41 00 01 CC 09 3C", 1, nullptr, "", "41 00", 1, 9, "CC"},
        {"cut inside its type field", "1F 10 00 41", 0, nullptr, "1F 10 00 41", "40 00", 0, 0, ""},
        // A rejected reply leaves CmdType, DataLen and RxSeq as they were.
        {"cut before its length byte", "1F 10 00 41 00", 0, nullptr, "1F 10 00 41 00", "40 00", 0, 0, ""},
        {"cut before its sequence byte", "1F 10 00 41 00 02 AA", 0, nullptr, "1F 10 00 41 00 02 AA", "40 00", 0, 0,
         ""},
        {"checksum missing", "1F 10 00 7F 00 01 AA 05", 0, nullptr, "1F 10 00 7F 00 01 AA 05", "40 00", 0, 0, "AA"},
        {"nothing from the phone", "1F 00 10 7F 01 71", 0, "Device not responding (Cmd).", "1F 00 10 7F 01 71",
         "40 00", 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.RxBuffer.clear();
        link.CmdType = Hex("4000");
        link.RxSeq = 0;
        link.DataLen = 0;
        view.lines.clear();
        Arrive(c.arriving);
        EXPECT_EQ(CmdBlock(), c.result);
        EXPECT_EQ(view.lines, c.line ? Lines{c.line} : Lines{});
        EXPECT_EQ(Rx(), c.rxAfter);
        EXPECT_EQ(BytesToHex(link.CmdType), c.typeAfter);
        EXPECT_EQ(link.DataLen, c.dataLenAfter);
        EXPECT_EQ(link.RxSeq, c.rxSeqAfter);
        EXPECT_EQ(Block(), c.blockAfter);
    }
}

TEST_F(ReceiverTest, StrayBytesNeverEndAWaitEarly) {
    const struct {
        const char* name;
        std::function<std::int32_t(ReceiverTest&)> stage;
        const char* stray;
        const char* frame;  // arrives in two pieces, cut in the middle
        double endsAt;      // 10: the deadline
        std::int32_t result;
    } cases[] = {
        {"echo", [](ReceiverTest& t) { return t.Echo(); }, "AA 1F BB", "1F 00 10 40 00 04 00 01 64 01 01 2E", 2.0, 1},
        {"ack", [](ReceiverTest& t) { return t.Ack(); }, "55 1F AA", "1F 10 00 7F 01 71", 2.0, 1},
        {"ack echo", [](ReceiverTest& t) { return t.AckEcho(); }, "00 00 00 00 00 00 00", "1F 00 10 7F 05 75", 2.0,
         1},
        {"reply, three copies", [](ReceiverTest& t) { return t.CmdBlock(); }, "00 00 00 00 00 00 00 00 00 00",
         "1F 10 00 40 00 00 07 58 1F 10 00 40 00 00 07 58 1F 10 00 40 00 00 07 58", 2.0, 1},
        {"no frame start at all", [](ReceiverTest& t) { return t.CmdBlock(); },
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "", 10.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double start = runtime.now;
        link.RxBuffer.clear();
        link.TxSeq = 1;
        std::string frame = c.frame;
        std::erase(frame, ' ');
        Arrive(c.stray, 0.5);
        Arrive(frame.substr(0, frame.size() / 2), 1.0);
        Arrive(frame.substr(frame.size() / 2), 2.0);
        EXPECT_EQ(c.stage(*this), c.result);
        EXPECT_DOUBLE_EQ(runtime.now - start, c.endsAt);
    }
}

TEST_F(ReceiverTest, FloodWithoutFrameStartKeepsOnlyItsNewestBytes) {
    for (int i = 0; i < 100; ++i) line.Deliver(ByteString(4096, 0x55), 0.01 * i);
    EXPECT_EQ(Echo(), 0);
    EXPECT_EQ(view.lines, Lines{"Device not responding (Echo)."});
    EXPECT_EQ(link.RxBuffer.size(), 64u * 1024u);
}

TEST_F(ReceiverTest, ClosedPortIsOpenedOrReported) {
    line.open = false;
    EXPECT_EQ(Echo(), 0);
    EXPECT_EQ(view.lines, (Lines{"COM port open.", "Null buffer received (Echo)."}));

    line.open = false;
    line.openError = "/dev/ttyS0: No such file or directory";
    view.lines.clear();
    link.TxSeq = 3;
    link.RxBuffer = {1};
    link.CmdBlock = {2};
    EXPECT_EQ(Ack(), 0);
    EXPECT_EQ(view.lines, Lines{"COM port error !"});
    EXPECT_EQ(runtime.boxes.size(), 1u) << "the open failure's own box";
    EXPECT_EQ(link.TxSeq, 0);
    EXPECT_EQ(Rx(), "");
    EXPECT_EQ(Block(), "02") << "the stage itself changes nothing";
}

TEST_F(ReceiverTest, ComponentErrorEndsTheStageSilently) {
    link.TxSeq = 1;
    line.inputError = "/dev/ttyUSB0: the device is no longer there";
    Arrive("1F 10 00 7F 01 71");
    EXPECT_EQ(Ack(), 0);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_LT(runtime.now, 1.0) << "the stage did not wait out its time-out";
}

}  // namespace
}  // namespace kelvra::test
