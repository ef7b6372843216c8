// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "link/Frame.h"
#include "link/FrameJoiner.h"
#include "tests/support/LinkFixture.h"

namespace kelvra::test {
namespace {

TEST(HexToBytes, ConvertsPairsOfDigits) {
    const struct {
        const char* text;
        ByteString bytes;
    } cases[] = {
        {"00017EF3", {0x00, 0x01, 0x7E, 0xF3}},
        {"", {}},
        {"ABC", {0xAB, 0x0C}},
        {"00017ef3", {0x00, 0x01, 0x7E, 0xF3}},
        {"fF", {0xFF}},
        {"7", {0x07}},
    };
    for (const auto& c : cases) EXPECT_EQ(HexToBytes(c.text), c.bytes) << c.text;
}

TEST(HexToBytes, RejectsAnythingButHexDigits) {
    for (const char* text : {"0G", "00 01", "0x01", "-1", "1\n"}) EXPECT_THROW(HexToBytes(text), std::invalid_argument) << text;
}

TEST(XorChecksum, FoldsEveryByte) {
    EXPECT_EQ(M2Frame::XorChecksum({}), 0x00);
    EXPECT_EQ(M2Frame::XorChecksum({0x61, 0x62, 0x63}), 0x60);
    const ByteString frame = HexToBytes("1F0010400004000164010" "12E");
    EXPECT_EQ(M2Frame::XorChecksum(frame), 0x00) << "a sealed frame XORs to zero";
}

TEST(LinkState, StartUpValues) {
    LinkState link;
    InitLinkSettings(link);
    InitLinkConsts(link);
    EXPECT_EQ(link.FrameId, ByteString{0x1F});
    EXPECT_EQ(link.TxAddr, (ByteString{0x00, 0x10}));
    EXPECT_EQ(link.RxAddr, (ByteString{0x10, 0x00}));
    EXPECT_EQ(link.AckType, ByteString{0x7F});
    EXPECT_EQ(link.CmdType, (ByteString{0x40, 0x00}));
    EXPECT_EQ(link.LenFieldSize, 1);
    EXPECT_EQ(link.ReplyTimeout, 10.0f);
    EXPECT_EQ(link.DoubleSend, 1);
    EXPECT_EQ(link.LocalMode, 0);
    EXPECT_EQ(link.CrLf, "\r\n");
}

using SendersTest = LinkFixture;

TEST_F(SendersTest, CommandFramesCarryTheNextSequenceNumber) {
    const struct {
        int txSeqBefore;
        const char* payload;
        const char* frame;
    } cases[] = {
        {0, "00016401", "1F00104000040001640101" "2E"},
        {1, "00017EF3", "1F0010400004" "00017EF3" "02C5"},
        {0, "", "1F00104000" "00" "01" "4E"},
        {255, "00", "1F0010400001" "00" "00" "4E"},
    };
    for (const auto& c : cases) {
        link.TxSeq = c.txSeqBefore;
        line.written.clear();
        bus.SendCmdFrame(HexToBytes(c.payload));
        ASSERT_EQ(line.written.size(), 1u) << "one frame, written whole";
        EXPECT_EQ(BytesToHex(line.written[0]), BytesToHex(HexToBytes(c.frame))) << c.payload;
        EXPECT_EQ(link.TxSeq, (c.txSeqBefore + 1) % 256);
    }
}

TEST_F(SendersTest, CommandFrameFollowsTheLastReplyType) {
    link.CmdType = {0x41, 0x00};
    bus.SendCmdFrame({0x01});
    EXPECT_EQ(line.written.at(0).at(3), 0x41);
    EXPECT_EQ(line.written.at(0).at(4), 0x00);
}

TEST_F(SendersTest, OversizedPayloadIsRefusedWithoutWriting) {
    link.TxSeq = 7;
    EXPECT_THROW(bus.SendCmdFrame(ByteString(256, 0xAA)), std::length_error);
    EXPECT_TRUE(line.written.empty());
    EXPECT_EQ(link.TxSeq, 7);
    bus.SendCmdFrame(ByteString(255, 0xAA));
    EXPECT_EQ(line.written.at(0).size(), 255u + 8u);
}

TEST_F(SendersTest, AckFrameCarriesRxSeqAndLeavesTxSeq) {
    link.RxSeq = 2;
    link.TxSeq = 9;
    bus.SendAckFrame();
    EXPECT_EQ(BytesToHex(line.written.at(0)), "1F 00 10 7F 02 72");
    EXPECT_EQ(link.TxSeq, 9);
}

TEST_F(SendersTest, SendersDiscardUnsentBytesFirst) {
    bus.SendCmdFrame({0x01});
    bus.SendAckFrame();
    EXPECT_EQ(line.outDiscards, 2);
}

// What the PC reads during one transaction, with noise, a frame cut short and
// a frame start inside a payload: however the bytes arrive, the joined pieces
// are the pieces of the whole, each stamped with its first byte's arrival.
TEST(FrameJoiner, OnePiecePerFrameHoweverTheBytesArrive) {
    const ByteString line = HexToBytes(
        "1F0010400004000164010" "12E"    // echo of the command
        "55AA"                           // noise
        "1F10007F0171"                   // acknowledgement
        "1F1000400004000164010" "13E"    // reply
        "1F100040" "1F10007F0272"         // a frame cut short by the next frame start
        "1F00104000031F1000" "0159"      // a frame start inside a payload
        "1F00107F6F1F" "1000"            // an ack whose checksum 1F and the next bytes look like a frame start
        "1F");                           // the first byte of a frame still to come
    // The frames of the whole; bytes around them may come in more pieces than one.
    std::vector<std::string> frames;
    std::size_t begin = 0;
    for (const FramePiece& piece : CutFrames(line)) {
        if (piece.kind != FramePiece::Kind::Other)
            frames.push_back(BytesToHex(ByteString(line.begin() + static_cast<std::ptrdiff_t>(begin), line.begin() + static_cast<std::ptrdiff_t>(piece.end))));
        begin = piece.end;
    }
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{7},
                                    std::size_t{13}, std::size_t{62}, line.size()}) {
        SCOPED_TRACE(chunk);
        FrameJoiner joiner;
        std::vector<FrameJoiner::Piece> pieces;
        std::vector<std::uint64_t> arrival(line.size());
        for (std::size_t at = 0; at < line.size(); at += chunk) {
            const std::size_t end = std::min(line.size(), at + chunk);
            std::fill(arrival.begin() + static_cast<std::ptrdiff_t>(at), arrival.begin() + static_cast<std::ptrdiff_t>(end), at);
            for (auto& piece : joiner.Add(ByteString(line.begin() + static_cast<std::ptrdiff_t>(at), line.begin() + static_cast<std::ptrdiff_t>(end)), at))
                pieces.push_back(std::move(piece));
        }
        EXPECT_TRUE(joiner.Holding()) << "the last frame start waits for its frame";
        for (auto& piece : joiner.Flush()) pieces.push_back(std::move(piece));
        EXPECT_FALSE(joiner.Holding());
        std::vector<std::string> joinedFrames;
        std::size_t at = 0;
        ByteString joined;
        for (const auto& piece : pieces) {
            EXPECT_EQ(piece.time, arrival[at]) << "piece at " << at;
            if (piece.frame) joinedFrames.push_back(BytesToHex(piece.bytes));
            at += piece.bytes.size();
            joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
        }
        EXPECT_EQ(joined, line);
        EXPECT_EQ(joinedFrames, frames);
    }
    EXPECT_NE(std::find(frames.begin(), frames.end(), "1F 00 10 7F 6F 1F"), frames.end())
        << "a frame whose last byte begins a frame start is whole";
}

TEST(FrameJoiner, StrayBytesGoOnAtOnceAndAFrameWaitsForItsLastByte) {
    FrameJoiner joiner;
    const auto stray = joiner.Add(HexToBytes("55AA1F10"), 1);
    ASSERT_EQ(stray.size(), 1u);
    EXPECT_EQ(BytesToHex(stray[0].bytes), "55 AA") << "a possible frame start is held";
    EXPECT_TRUE(joiner.Add(HexToBytes("007F01"), 2).empty());
    const auto ack = joiner.Add(HexToBytes("71"), 3);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(BytesToHex(ack[0].bytes), "1F 10 00 7F 01 71");
    EXPECT_EQ(ack[0].time, 1u);
    EXPECT_TRUE(ack[0].frame);
    EXPECT_FALSE(joiner.Holding());
}

TEST(DecodeFrame, FieldsAndChecksumOfEveryKindOfFrame) {
    const struct {
        const char* hex;
        bool frame, fromPc, ack, whole, good;
        int seq;  // -1: none
        const char* payload;
    } cases[] = {
        {"1F0010400004000164010" "12E", true, true, false, true, true, 1, "00 01 64 01"},
        {"1F10007F0171", true, false, true, true, true, 1, ""},
        {"1F10007F013A", true, false, true, true, false, 1, ""},
        {"1F00107F0272", true, true, true, true, true, 2, ""},
        {"1F100040000400017E", true, false, false, false, false, -1, "00 01 7E"},
        {"1F1000", true, false, false, false, false, -1, ""},
        {"1F2000400000", false, false, false, false, false, -1, ""},
        {"55", false, false, false, false, false, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        const auto frame = DecodeFrame(HexToBytes(c.hex));
        ASSERT_EQ(frame.has_value(), c.frame);
        if (!frame) continue;
        EXPECT_EQ(frame->fromPc, c.fromPc);
        EXPECT_EQ(frame->ack, c.ack);
        EXPECT_EQ(frame->whole, c.whole);
        EXPECT_EQ(frame->ChecksumGood(), c.good);
        EXPECT_EQ(frame->seq ? *frame->seq : -1, c.seq);
        EXPECT_EQ(BytesToHex(frame->payload), c.payload);
    }
}

}  // namespace
}  // namespace kelvra::test
