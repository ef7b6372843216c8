// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <stdexcept>

#include "link/Frame.h"
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

}  // namespace
}  // namespace kelvra::test
