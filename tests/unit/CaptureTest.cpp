// SPDX-License-Identifier: MIT
// The capture file's blocks read back whatever happened to the file, the
// capture's records at the line's real pace, the virtual phone's delivery,
// and a replay of a capture.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "link/Frame.h"
#include "record/AppendFile.h"
#include "record/LineCapture.h"
#include "record/Pcapng.h"
#include "record/PcapngReader.h"
#include "sim/PhoneServer.h"
#include "sim/Replay.h"

namespace kelvra {
namespace {

ByteString Join(std::initializer_list<ByteString> blocks) {
    ByteString file;
    for (const ByteString& block : blocks) file.insert(file.end(), block.begin(), block.end());
    return file;
}

ByteString RunCapture(const char* application, std::uint64_t time) {
    return Join({Pcapng::SectionBlock(application), Pcapng::InterfaceBlock(147, "/dev/ttyUSB0", "Com2"),
                 Pcapng::PacketBlock(0, time, {1, 0x1F, 0x10}, Pcapng::Direction::Inbound)});
}

// The same run written by a big-endian machine: every value of every block swapped.
ByteString BigEndianRun() {
    ByteString file = RunCapture("be", 0x0102030405ull);
    auto swap32 = [&](std::size_t at) { std::reverse(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 4)); };
    auto swap16 = [&](std::size_t at) { std::reverse(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 2)); };
    auto options = [&](std::size_t at, std::size_t end) {
        while (at + 4 <= end) {
            std::uint16_t code, length;
            std::memcpy(&code, &file[at], 2);
            std::memcpy(&length, &file[at + 2], 2);
            swap16(at);
            swap16(at + 2);
            if (code == 0) break;
            if (code == 2 && length == 4) swap32(at + 4);  // epb_flags
            at += 4 + ((length + 3u) & ~3u);
        }
    };
    for (std::size_t at = 0; at < file.size();) {
        std::uint32_t type, length;
        std::memcpy(&type, &file[at], 4);
        std::memcpy(&length, &file[at + 4], 4);
        swap32(at);
        swap32(at + 4);
        swap32(at + length - 4);
        const std::size_t body = at + 8, end = at + length - 4;
        if (type == Pcapng::SectionHeaderType) {
            swap32(body);
            swap16(body + 4);
            swap16(body + 6);
            std::reverse(file.begin() + static_cast<std::ptrdiff_t>(body + 8), file.begin() + static_cast<std::ptrdiff_t>(body + 16));
            options(body + 16, end);
        } else if (type == Pcapng::InterfaceType) {
            swap16(body);
            swap32(body + 4);
            options(body + 8, end);
        } else {
            std::uint32_t captured;
            std::memcpy(&captured, &file[body + 12], 4);
            for (std::size_t field = 0; field < 5; ++field) swap32(body + 4 * field);
            options(body + 20 + ((captured + 3u) & ~3u), end);
        }
        at += length;
    }
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
        EXPECT_FALSE(file.cutTail);
        EXPECT_TRUE(file.damaged.empty());
    }
    // Another program's smallest packet block (no data, no options), in a section with a comment.
    const ByteString minimal = HexToBytes("0600000020000000000000000000000001000000000000000000000020000000");
    const Pcapng::File file = Pcapng::Read(
        Join({Pcapng::SectionBlock("x", "run of process 7 from 9"), Pcapng::InterfaceBlock(147, "d", "Com1"), minimal}));
    ASSERT_EQ(file.sections.size(), 1u);
    EXPECT_EQ(file.sections[0].comment, "run of process 7 from 9");
    ASSERT_EQ(file.sections[0].packets.size(), 1u);
    EXPECT_EQ(file.sections[0].packets[0].time, 1u);
    EXPECT_TRUE(file.sections[0].packets[0].data.empty());
    EXPECT_TRUE(file.damaged.empty());
}

// A day's file: runs appended one after another, whatever befell one of them.
TEST(Pcapng, DamageIsSkippedAndNamedAndOnlyTheEndIsACut) {
    const ByteString one = RunCapture("one", 1), two = RunCapture("two", 2), three = RunCapture("three", 3);
    const std::size_t packet = Pcapng::PacketBlock(0, 2, {1, 0x1F, 0x10}, Pcapng::Direction::Inbound).size();
    const std::size_t lastBlock = one.size() + two.size() - packet;
    ByteString hugeLength = two;
    hugeLength[two.size() - packet + 7] = 0x7F;  // the packet block's first length: far past the file
    const ByteString cutTwo(two.begin(), two.end() - 5);
    const ByteString huge = Pcapng::PacketBlock(0, 2, ByteString(Pcapng::MaxBlockLength, 0), 0);
    const ByteString unknown = HexToBytes("990000000C0000000C000000");
    const struct {
        const char* name;
        ByteString file;
        std::vector<std::string> applications;
        std::size_t packets;  // in all
        std::vector<Pcapng::Damage> damaged;
        std::optional<Pcapng::Damage> cut;
    } cases[] = {
        {"whole", Join({one, two, three}), {"one", "two", "three"}, 3, {}, {}},
        {"the last block cut", Join({one, cutTwo}), {"one", "two"}, 1, {}, Pcapng::Damage{lastBlock, packet - 5}},
        {"a cut block, then a run appended", Join({one, cutTwo, three}), {"one", "two", "three"}, 2,
         {{lastBlock, packet - 5}}, {}},
        {"a huge length in a middle block", Join({one, hugeLength, three}), {"one", "two", "three"}, 2,
         {{lastBlock, packet}}, {}},
        {"big-endian", Join({BigEndianRun(), one}), {"be", "one"}, 2, {}, {}},
        // Whole by its lengths, but longer than any block the reader holds: damage.
        {"a block past the length limit", Join({one, huge, three}), {"one", "three"}, 2, {{one.size(), huge.size()}}, {}},
        // The next run starts in the last three bytes of the first window searched after the damage.
        {"damage up to the search windows' seam", Join({one, ByteString(65535, 0), three}), {"one", "three"}, 2,
         {{one.size(), 65535}}, {}},
        // A block of a kind this reader does not know is never where a walk resumes after damage.
        {"damage, then a block of an unknown kind", Join({one, HexToBytes("00112233"), unknown, three}),
         {"one", "three"}, 2, {{one.size(), 4 + unknown.size()}}, {}},
        {"cut inside its first block", ByteString(one.begin(), one.begin() + 10), {}, 0, {}, Pcapng::Damage{0, 10}},
        {"empty", {}, {}, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Pcapng::File file = Pcapng::Read(c.file);
        std::vector<std::string> applications;
        std::size_t packets = 0;
        for (const auto& section : file.sections) {
            applications.push_back(section.application);
            packets += section.packets.size();
            for (const auto& packet : section.packets) EXPECT_EQ(packet.data, (ByteString{1, 0x1F, 0x10}));
        }
        EXPECT_EQ(applications, c.applications);
        EXPECT_EQ(packets, c.packets);
        ASSERT_EQ(file.damaged.size(), c.damaged.size());
        for (std::size_t i = 0; i < c.damaged.size(); ++i) {
            EXPECT_EQ(file.damaged[i].offset, c.damaged[i].offset);
            EXPECT_EQ(file.damaged[i].length, c.damaged[i].length);
        }
        ASSERT_EQ(file.cutTail.has_value(), c.cut.has_value());
        if (c.cut) EXPECT_EQ(file.cutTail->offset, c.cut->offset);
    }
    EXPECT_EQ(Pcapng::Read(BigEndianRun()).sections.at(0).packets.at(0).time, 0x0102030405ull);
    EXPECT_EQ(Pcapng::Read(BigEndianRun()).sections.at(0).interfaces.at(0).name, "/dev/ttyUSB0");
}

TEST(Pcapng, AFileThatDoesNotBeginAsACaptureIsRefusedAtOnce) {
    // The last: a section's type and agreeing lengths, but no byte-order magic.
    for (const ByteString& bad : {ByteString(64, 0), HexToBytes("32303236"), Pcapng::InterfaceBlock(147, "d", "Com1"),
                                  HexToBytes("0A0D0D0A1C000000000000000100000000000000000000001C000000")}) {
        const std::size_t size = 1ull << 40;  // as /dev/zero would be: never read to its end
        std::size_t read = 0;
        const auto source = [&](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
            read += n;
            for (std::size_t i = 0; i < n; ++i) into[i] = offset + i < bad.size() ? bad[offset + i] : 0;
            return n;
        };
        EXPECT_THROW(Pcapng::Reader(source, size), Pcapng::FormatError);
        EXPECT_LE(read, 64u);
    }
}

TEST(Schedule, AnAnswerAsTheVirtualPhoneDeliversIt) {
    constexpr long long ms = 1000000, byte = 11LL * 1000000000LL / 9600LL;
    const struct {
        const char* name;
        Delivery delivery;
        std::size_t size;
        std::vector<Burst> bursts;
    } cases[] = {
        {"at once", {}, 12, {{0, 0, 12}}},
        {"split", {.splitAt = 5}, 12, {{0, 0, 5}, {3 * ms, 5, 12}}},
        {"paced", {.paced = true}, 3, {{byte, 0, 1}, {2 * byte, 1, 2}, {3 * byte, 2, 3}}},
        {"trickle", {.trickle = true}, 2, {{2 * ms, 0, 1}, {4 * ms, 1, 2}}},
        // 13 bytes are on the wire when the 16 ms timer runs out; the rest 16 ms after that burst.
        {"an adapter's latency timer", {.chunkBytes = 62, .chunkMs = 16}, 20, {{16 * ms, 0, 13}, {32 * ms, 13, 20}}},
        // 4 bytes fill the adapter's buffer before its timer runs out.
        {"a small buffer", {.chunkBytes = 4, .chunkMs = 16}, 9, {{4 * byte, 0, 4}, {8 * byte, 4, 8}, {8 * byte + 16 * ms, 8, 9}}},
    };
    for (const auto& c : cases) EXPECT_EQ(Schedule(c.delivery, c.size), c.bursts) << c.name;
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
    record(LineRecord::Written, "1F00107F0171");
    record(LineRecord::Read, "1F00107F0171");
    record(LineRecord::Read, "B0");
    record(LineRecord::Written, "1F00107F0272");
    record(LineRecord::Read, "D0");
    return section;
}

// With the captured timing, each record from the line waits the gap the capture has before it.
TEST(ReplayPhone, KeepsTheCapturedGapsBeforeWhatTheLineSaid) {
    std::vector<double> pauses;
    ReplayPhone replay(Captured(), true, [](const ByteString&) {}, [](const std::string&) {},
                       [&pauses](double seconds) { pauses.push_back(seconds); });
    replay.Hear(HexToBytes("1F00107F01711F00107F0272"));
    EXPECT_EQ(pauses, (std::vector<double>{1e-6, 1e-6, 1e-6}));
}

TEST(ReplayPhone, SaysEachRecordOnceTheToolHasWrittenTheFramesBeforeIt) {
    const struct {
        std::vector<const char*> heard;  // chunks the tool writes
        std::vector<std::string> said;   // after each chunk
        std::vector<std::string> complaints;
    } cases[] = {
        {{"1F00107F0171", "1F00107F0272"}, {"1F 00 10 7F 01 71|B0", "D0"}, {}},
        {{"1F0010", "7F01711F00107F02", "72"}, {"", "1F 00 10 7F 01 71|B0", "D0"}, {}},
        // A frame written otherwise is named as soon as it is whole, alone, and the replay goes on.
        {{"1F00107F0972", "1F00107F0272", "1F00107F0373"},
         {"1F 00 10 7F 01 71|B0", "D0", ""},
         {"the tool sent 1F 00 10 7F 09 72 where the capture has 1F 00 10 7F 01 71",
          "the tool sent 1F 00 10 7F 03 73 where the capture has nothing more"}},
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

class CaptureFile : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/kelvra-capture-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
        ::unlink(name);
    }
    void TearDown() override { std::remove(path.c_str()); }
    ByteString Contents() const {
        std::ifstream in(path, std::ios::binary);
        return ByteString((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    void Store(const ByteString& bytes) const {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string path;
};

TEST_F(CaptureFile, ReadRecordsAreFramesAndNothingIsHeldPastTheRun) {
    {
        std::uint64_t now = 0;
        LineCapture capture(path, [&now] { return ++now; });
        capture.Opened("/dev/ttyUSB0", 1, "9600 8O1");
        for (const char* piece : {"1F10", "007F", "0171551F", "10004000", "04000164", "0101"}) {
            capture.Read(HexToBytes(piece));
            // Written while the acknowledgement was coming in: recorded after it.
            if (std::string(piece) == "007F") capture.Written(HexToBytes("1F00107F0272"));
        }
        capture.LineEvent(1001, "");
        capture.Read(HexToBytes("3E1F1000"));
        capture.LineQuiet();
        capture.Read(HexToBytes("7F1F"));
        capture.Closed();
        capture.OpenFailed("/dev/ttyUSB1", 2, "/dev/ttyUSB1: Permission denied");
    }
    const Pcapng::File file = Pcapng::Read(Contents());
    ASSERT_EQ(file.sections.size(), 1u);
    std::vector<std::string> records;
    for (const auto& packet : file.sections[0].packets)
        records.push_back(std::to_string(packet.data[0]) + ":" + BytesToHex(ByteString(packet.data.begin() + 1, packet.data.end())));
    const std::vector<std::string> expected{
        // The device, its settings and the mark of one record per frame.
        "3:2F 64 65 76 2F 74 74 79 55 53 42 30 00 39 36 30 30 20 38 4F 31 00 6F 6E 65 20 72 65 63 6F 72 64 20 70 65 "
        "72 20 66 72 61 6D 65",
        "1:1F 10 00 7F 01 71",
        "0:1F 00 10 7F 02 72",
        "1:55",
        "1:1F 10 00 40 00 04 00 01 64 01 01",  // a line event comes: written as it stands
        "2:E9 03 42 72 65 61 6B 20 52 65 63 65 69 76 65 64",
        "1:3E",
        "1:1F 10 00",  // the line falls quiet
        "1:7F",
        "1:1F",  // the port closes
        "4:",
        "5:2F 64 65 76 2F 74 74 79 55 53 42 31 00 2F 64 65 76 2F 74 74 79 55 53 42 31 3A 20 50 65 72 6D 69 73 73 69 6F 6E 20 64 65 6E 69 65 64",
    };
    EXPECT_EQ(records, expected);
    EXPECT_EQ(file.sections[0].interfaces.size(), 2u) << "the port that failed to open names an interface";
}

TEST_F(CaptureFile, AnExistingFileMustBeACaptureAndLosesOnlyACutTail) {
    const ByteString run = RunCapture("one", 1);
    const struct {
        const char* name;
        ByteString before;
        bool refused;
        std::size_t kept;  // bytes of `before` that stay
        const char* note;
    } cases[] = {
        {"a text log", HexToBytes("323032362D31322D3037"), true, 10, nullptr},
        {"a whole capture", run, false, run.size(), nullptr},
        {"a cut last block", Join({run, ByteString(run.begin(), run.begin() + 30)}), false, run.size(),
         "ended in a block cut short (30 bytes at offset 144), which was taken off"},
        {"empty", {}, false, 0, nullptr},
        {"a line break alone", HexToBytes("0A"), true, 1, nullptr},
        {"three bytes of a section's start", HexToBytes("0A0D0D"), true, 3, nullptr},
        {"a first block cut after its type", HexToBytes("0A0D0D0A"), false, 0,
         "ended in a block cut short (4 bytes at offset 0), which was taken off"},
        {"damage inside, whole at the end", Join({run, HexToBytes("00112233"), run}), false, 2 * run.size() + 4, nullptr},
        // Bytes after the last whole block that are no block cut short are damage, not the writer's to cut.
        {"damage at the end: junk", Join({run, HexToBytes("DEADBEEF0123456789ABCDEF")}), false, run.size() + 12, nullptr},
        {"damage at the end: a block start whose block would end inside the file",
         Join({run, HexToBytes("0600000010000000AABBCCDD11223344556677")}), false, run.size() + 19, nullptr},
        {"damage at the end: a length no block has", Join({run, HexToBytes("0600000007000000AABB")}), false,
         run.size() + 10, nullptr},
        {"a big-endian run cut", Join({BigEndianRun(), ByteString(run.begin(), run.begin() + 30)}), false, run.size(),
         "ended in a block cut short (30 bytes at offset 144), which was taken off"},
        {"a cut last block, short", Join({run, ByteString(run.begin(), run.begin() + 9)}), false, run.size(),
         "ended in a block cut short (9 bytes at offset 144), which was taken off"},
    };
    ASSERT_EQ(run.size(), 144u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Store(c.before);
        std::vector<std::string> reports;
        if (c.refused) {
            EXPECT_THROW(LineCapture{path}, std::runtime_error);
            EXPECT_EQ(Contents(), c.before) << "left byte for byte";
            continue;
        }
        {
            LineCapture capture(path);
            capture.OnReport([&](const std::string& text) { reports.push_back(text); });
        }
        const ByteString after = Contents();
        EXPECT_EQ(ByteString(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(c.kept)),
                  ByteString(c.before.begin(), c.before.begin() + static_cast<std::ptrdiff_t>(c.kept)));
        const Pcapng::File file = Pcapng::Read(after);
        EXPECT_FALSE(file.cutTail);
        EXPECT_EQ(file.damaged.empty(), std::string(c.name).find("damage") == std::string::npos)
            << "damage inside is the reader's to skip, not cut";
        EXPECT_EQ(reports, c.note ? std::vector<std::string>{"the capture file " + path + " " + c.note}
                                  : std::vector<std::string>{});
    }
}

// Runs sharing one capture file (a rack of phones, one capture/file setting) append in any order:
// each record stays in a section of its own run, under that run's interface, and a run's sections
// play back as one.
TEST_F(CaptureFile, RunsSharingOneFileKeepTheirRecords) {
    // Which run writes each step: a, b, c started at once and interleaving block by block; then each
    // closes, a first. A run continues in a section of its own whenever another wrote since its last block.
    const struct {
        const char* name;
        std::string order;
        std::size_t sections;
    } cases[] = {
        {"one after the other", "aaaaaabbbbbb", 4},
        {"alternating", "abababababab", 14},
        {"three, one cut short", "abcabcacacacbbbbc", 17},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        std::map<char, std::unique_ptr<LineCapture>> runs;
        std::map<char, int> steps;
        std::uint64_t now = 0;
        for (const char run : c.order) {
            auto& capture = runs[run];
            if (!capture) capture = std::make_unique<LineCapture>(path, [&now] { return ++now; });
            const int step = steps[run]++;
            const std::string device = std::string("/dev/tty") + run;
            const int port = run - 'a' + 1;
            if (step == 0) capture->Opened(device, port, "9600 8O1");
            // Whole acknowledgements both ways, their sequence byte naming the run.
            else if (step % 2 == 1) capture->Written({0x1F, 0x00, 0x10, 0x7F, static_cast<std::uint8_t>(run), 0});
            else capture->Read({0x1F, 0x10, 0x00, 0x7F, static_cast<std::uint8_t>(run), 0});
        }
        for (auto& [run, capture] : runs) capture->Closed();
        runs.clear();
        const Pcapng::File file = Pcapng::Read(Contents());
        EXPECT_TRUE(file.damaged.empty());
        EXPECT_EQ(file.sections.size(), c.sections);
        RunCounter counter;
        std::vector<std::size_t> runOf;
        for (const Pcapng::Section& section : file.sections) runOf.push_back(counter.Of(section.comment));
        std::map<std::size_t, std::set<std::string>> devicesOfRun;
        std::map<std::string, int> records;
        for (std::size_t s = 0; s < file.sections.size(); ++s) {
            const Pcapng::Section& section = file.sections[s];
            for (const Pcapng::Packet& packet : section.packets) {
                ASSERT_LT(packet.interface, section.interfaces.size());
                if (packet.data[0] == static_cast<std::uint8_t>(LineRecord::Continued)) {
                    // Says whose records follow: the run's device and port.
                    const std::string device = section.interfaces[packet.interface].name;
                    EXPECT_EQ(std::string(packet.data.begin() + 1, packet.data.end()),
                              device + '\0' + section.interfaces[packet.interface].description);
                    EXPECT_NE(s, 0u);
                    continue;
                }
                const std::string& device = section.interfaces[packet.interface].name;
                devicesOfRun[runOf[s]].insert(device);
                ++records[device];
                // The run's own byte, or the device it opened: the record is where it belongs.
                if (packet.data[0] == static_cast<std::uint8_t>(LineRecord::Opened))
                    EXPECT_EQ(std::string(packet.data.begin() + 1, packet.data.begin() + 10), device);
                else if (packet.data[0] != static_cast<std::uint8_t>(LineRecord::Closed))
                    EXPECT_EQ(std::string("/dev/tty") + static_cast<char>(packet.data.at(5)), device);
            }
        }
        for (const auto& [run, devices] : devicesOfRun) EXPECT_EQ(devices.size(), 1u) << "run " << run;
        for (const auto& [run, count] : steps) {
            EXPECT_EQ(records[std::string("/dev/tty") + run], count + 1) << "every step and the closing of " << run;
        }
        EXPECT_EQ(devicesOfRun.size(), steps.size()) << "one run each";
        // Played back, each run is whole: its steps and its closing, in order.
        for (std::size_t run = 1; run <= steps.size(); ++run) {
            const CapturedSection played = ReadCapturedSection(path, run);
            const char name = static_cast<char>('a' + run - 1);
            std::size_t records = 0;
            for (const Pcapng::Packet& packet : played.section.packets)
                records += packet.data[0] != static_cast<std::uint8_t>(LineRecord::Continued) ? 1 : 0;
            EXPECT_EQ(records, static_cast<std::size_t>(steps[name] + 1));
        }
    }
}

// A piece cut short (here by a file size limit standing in for a full disk) is taken back only when it is
// provably this writer's: under the lock and at the file's end. Another writer's line that came between
// measuring the file and writing stays; without the lock nothing is cut.
TEST_F(CaptureFile, APieceCutShortIsTakenBackOnlyWhenProvablyItsOwn) {
    const struct {
        const char* name;
        bool otherInTheWindow;
        bool locked;
        std::string after;
    } cases[] = {
        {"alone", false, true, "first\nx\n"},
        {"another line came in between", true, true, "first\nx\nother line\n"},
        {"without the lock", true, false, "first\nx\nother line\n01234"},
    };
    ::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        AppendFile file(path, "the log file", AppendFile::Pieces::Lines);
        ASSERT_TRUE(file.Write("first\n", 6));
        // Another writer appends: the next piece's resume runs under the lock, between measuring and writing.
        const int other = ::open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(other, "x\n", 2), 2);
        const int holder = ::open(path.c_str(), O_RDONLY);
        if (!c.locked) ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        rlimit limit = before;
        limit.rlim_cur = 8 + (c.otherInTheWindow ? 11 : 0) + 5;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool whole = file.Write("0123456789\n", 11, [&] {
            if (c.otherInTheWindow) EXPECT_EQ(::write(other, "other line\n", 11), 11);
            return std::string();
        });
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::close(holder);
        ::close(other);
        EXPECT_FALSE(whole);
        EXPECT_TRUE(file.Incomplete());
        const ByteString after = Contents();
        EXPECT_EQ(std::string(after.begin(), after.end()), c.after);
    }
    ::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
}  // namespace kelvra
