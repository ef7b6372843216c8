// SPDX-License-Identifier: MIT
// The capture file's blocks, the frames it records, and a replay of it.

#include <gtest/gtest.h>

#include <string>

#include "link/Frame.h"
#include "record/Pcapng.h"
#include "sim/Replay.h"

namespace kelvra {
namespace {

ByteString Join(std::initializer_list<ByteString> blocks) {
    ByteString file;
    for (const ByteString& block : blocks) file.insert(file.end(), block.begin(), block.end());
    return file;
}

TEST(Pcapng, BlocksReadBackWithTheirOptionsWhateverTheirPadding) {
    for (std::size_t size = 0; size <= 5; ++size) {
        SCOPED_TRACE(size);
        const ByteString data(size, 0xA5);
        const ByteString packet = Pcapng::PacketBlock(0, 0x123456789ABull, data, Pcapng::Direction::Outbound);
        ASSERT_EQ(packet.size() % 4, 0u);
        const Pcapng::File file = Pcapng::Read(Join({Pcapng::SectionBlock("kelvra-netmon 1.0.4"),
                                                     Pcapng::InterfaceBlock(147, "/dev/ttyUSB0", "Com2"), packet}));
        ASSERT_EQ(file.sections.size(), 1u);
        const Pcapng::Section& section = file.sections[0];
        EXPECT_EQ(section.application, "kelvra-netmon 1.0.4");
        ASSERT_EQ(section.interfaces.size(), 1u);
        EXPECT_EQ(section.interfaces[0].linkType, 147);
        EXPECT_EQ(section.interfaces[0].name, "/dev/ttyUSB0");
        EXPECT_EQ(section.interfaces[0].description, "Com2");
        EXPECT_EQ(section.interfaces[0].timeResolution, 6);
        ASSERT_EQ(section.packets.size(), 1u);
        EXPECT_EQ(section.packets[0].time, 0x123456789ABull);
        EXPECT_EQ(section.packets[0].flags, Pcapng::Direction::Outbound);
        EXPECT_EQ(section.packets[0].data, data);
        EXPECT_FALSE(file.truncated);
    }
}

TEST(Pcapng, ACutLastBlockIsLeftOutAndAnythingElseMalformedRefused) {
    const ByteString whole = Join({Pcapng::SectionBlock("x"), Pcapng::InterfaceBlock(147, "d", "Com1"),
                                   Pcapng::PacketBlock(0, 1, {1, 2, 3}, 0)});
    const ByteString cut(whole.begin(), whole.end() - 5);
    const Pcapng::File file = Pcapng::Read(cut);
    EXPECT_TRUE(file.truncated);
    EXPECT_TRUE(file.sections.at(0).packets.empty());

    ByteString lengthsDiffer = whole;
    lengthsDiffer[lengthsDiffer.size() - 4] ^= 4;
    const ByteString noInterface = Join({Pcapng::SectionBlock("x"), Pcapng::PacketBlock(0, 1, {1}, 0)});
    const ByteString notASection = Pcapng::InterfaceBlock(147, "d", "Com1");
    for (const ByteString& bad : {lengthsDiffer, noInterface, notASection})
        EXPECT_THROW(Pcapng::Read(bad), Pcapng::FormatError);
}

TEST(FramePieces, FramesAndTheBytesAroundThem) {
    const struct {
        const char* hex;
        std::vector<std::size_t> ends;
    } cases[] = {
        {"1F00107F0171", {6}},
        {"551FAA" "1F10007F0171" "1F1000400000" "0758" "1F", {3, 9, 17, 18}},
        {"1F0010400004000164" "01012E" "1F00107F0171", {12, 18}},
        {"1F001040000400", {7}},                                  // cut short by the chunk's end
        {"1F0010400004" "1F10007F0171", {6, 12}},                 // no further than the next frame start
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(FramePieces(HexToBytes(c.hex)), c.ends) << c.hex;
}

// A capture of the PC writing two frames and the line answering each.
Pcapng::Section Captured() {
    Pcapng::Section section;
    auto record = [&](LineRecord kind, const char* hex) {
        ByteString data{static_cast<std::uint8_t>(kind)};
        const ByteString bytes = HexToBytes(hex);
        data.insert(data.end(), bytes.begin(), bytes.end());
        section.packets.push_back({0, section.packets.size() + 1, 0, data});
    };
    record(LineRecord::Opened, "");
    record(LineRecord::Written, "AA01");
    record(LineRecord::Read, "AA01");
    record(LineRecord::Read, "B0");
    record(LineRecord::Written, "CC");
    record(LineRecord::Read, "D0");
    return section;
}

TEST(ReplayPhone, SaysEachRecordOnceTheToolHasWrittenWhatCameBefore) {
    const struct {
        std::vector<const char*> heard;  // chunks the tool writes
        std::vector<std::string> said;   // after each chunk
        std::vector<std::string> complaints;
    } cases[] = {
        {{"AA01", "CC"}, {"AA 01|B0", "D0"}, {}},
        {{"AA", "01CC"}, {"", "AA 01|B0|D0"}, {}},
        {{"AA02", "CC", "EE"}, {"AA 01|B0", "D0", ""},
         {"the tool sent AA 02 where the capture has AA 01", "the tool sent EE where the capture has nothing more"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> said, complaints;
        std::string now;
        ReplayPhone replay(Captured(), false,
                           [&](const ByteString& bytes) { now += (now.empty() ? "" : "|") + BytesToHex(bytes); },
                           [&](const std::string& line) { complaints.push_back(line); });
        for (const char* chunk : c.heard) {
            now.clear();
            EXPECT_TRUE(replay.Hear(HexToBytes(chunk)).empty());
            said.push_back(now);
        }
        EXPECT_EQ(said, c.said);
        EXPECT_EQ(complaints, c.complaints);
    }
}

}  // namespace
}  // namespace kelvra
