// SPDX-License-Identifier: MIT
// kelvra-netmon --capture as the field uses it: the line at its real speed,
// runs appended to one file, a run killed while it writes, and the capture
// replayed.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <poll.h>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <sys/resource.h>

#include "tests/support/ToolProcess.h"
#include "link/Frame.h"
#include "record/LineCapture.h"
#include "sim/PhoneServer.h"
#include "sim/Pty.h"
#include "sim/Replay.h"

namespace kelvra {
namespace {

using Fault = PhoneOptions::Fault;

struct Outcome {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The tool run headless with `arguments`, without a display or settings of its own, its wire trace on.
Outcome Tool(const QStringList& arguments, const QString& config) {
    QProcess tool;
    tool.setProcessEnvironment(ToolEnvironment(config, {"QT_LOGGING_RULES=kelvra.m2bus.debug=true"}));
    tool.start(QStringLiteral(KELVRA_NETMON), arguments);
    tool.waitForFinished(60000);
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardOutput(),
            tool.readAllStandardError()};
}

// The bytes the wire trace says were read, joined.
ByteString TracedIn(const QByteArray& err) {
    ByteString bytes;
    const QRegularExpression in("^kelvra\\.m2bus: +\\d+ ms in  (.*)$", QRegularExpression::MultilineOption);
    for (auto match = in.globalMatch(QString::fromLatin1(err)); match.hasNext();) {
        const ByteString piece = HexToBytes(match.next().captured(1).remove(' ').toStdString());
        bytes.insert(bytes.end(), piece.begin(), piece.end());
    }
    return bytes;
}

// Where section `number` (from 1) of a capture begins.
qint64 CapturedSectionOffset(const QString& file, std::size_t number) {
    return static_cast<qint64>(ReadCapturedSection(file.toStdString(), number).section.offset);
}

LineRecord Kind(const Pcapng::Packet& packet) { return static_cast<LineRecord>(packet.data.at(0)); }
ByteString Bytes(const Pcapng::Packet& packet) { return ByteString(packet.data.begin() + 1, packet.data.end()); }

TEST(Capture, OneRecordPerFrameAtTheLineSpeedHoweverTheBytesArrive) {
    const struct {
        const char* name;
        Delivery delivery;
    } lines[] = {{"paced", {.paced = true}},
                 {"trickle", {.trickle = true}},
                 {"USB adapter bursts", {.chunkBytes = 62, .chunkMs = 16}},
                 {"small bursts", {.chunkBytes = 5, .chunkMs = 4}}};
    for (const auto& line : lines) {
        SCOPED_TRACE(line.name);
        QTemporaryDir dir;
        const QString file = dir.filePath("field.pcapng");
        PhoneServer phone({}, line.delivery);
        phone.Start();
        const Outcome run =
            Tool({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--capture", file}, dir.path());
        ASSERT_EQ(run.status, 0) << run.err.toStdString();

        const Pcapng::Section section = ReadCapturedSection(file.toStdString(), 1).section;
        ByteString read, written;
        int frames = 0;
        for (const Pcapng::Packet& packet : section.packets) {
            const ByteString bytes = Bytes(packet);
            if (Kind(packet) == LineRecord::Written) written.insert(written.end(), bytes.begin(), bytes.end());
            if (Kind(packet) != LineRecord::Read) continue;
            read.insert(read.end(), bytes.begin(), bytes.end());
            const auto frame = DecodeFrame(bytes);
            ASSERT_TRUE(frame && frame->whole && frame->ChecksumGood()) << BytesToHex(bytes);
            EXPECT_EQ(FramePieces(bytes).size(), 1u) << "one frame a record: " << BytesToHex(bytes);
            ++frames;
        }
        EXPECT_EQ(frames, 2 * (2 + 1 + 3 + 1)) << "echoes, acknowledgements, reply copies, each whole";
        EXPECT_EQ(read, TracedIn(run.err)) << "the records hold exactly the bytes read";
        EXPECT_EQ(written, phone.Heard());
        // The trace too shows one frame a line, however many a read brought.
        const QRegularExpression traced("^kelvra\\.m2bus: +\\d+ ms (in |out) (.*)$", QRegularExpression::MultilineOption);
        for (auto match = traced.globalMatch(QString::fromLatin1(run.err)); match.hasNext();) {
            const ByteString piece = HexToBytes(match.next().captured(2).remove(' ').toStdString());
            EXPECT_EQ(FramePieces(piece).size(), 1u) << "one frame a trace line: " << BytesToHex(piece);
        }
    }
}

TEST(Capture, EachRunAppendsASectionOfItsOwn) {
    QTemporaryDir dir;
    const QString file = dir.filePath("field.pcapng");
    PhoneServer phone({}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    for (const char* port : {"1", "2"})
        ASSERT_EQ(Tool({"--run", "rd-on", "--com", port, "--device", device, "--capture", file}, dir.path()).status, 0);
    // A port that does not open still leaves a section that says why.
    ASSERT_EQ(Tool({"--run", "rd-on", "--device", "/dev/kelvra-none", "--capture", file}, dir.path()).status, 1);

    const ByteString heard = phone.Heard();
    for (std::size_t s = 1; s <= 2; ++s) {
        SCOPED_TRACE(s);
        const CapturedSection captured = ReadCapturedSection(file.toStdString(), s);
        EXPECT_EQ(captured.sections, 3u);
        const Pcapng::Section& section = captured.section;
        EXPECT_EQ(section.application, "kelvra-netmon 1.0.4");
        ASSERT_EQ(section.interfaces.size(), 1u);
        EXPECT_EQ(section.interfaces[0].linkType, Pcapng::LinkTypeUser0);
        EXPECT_EQ(section.interfaces[0].name, device.toStdString());
        EXPECT_EQ(section.interfaces[0].description, "Com" + std::to_string(s));
        ASSERT_GE(section.packets.size(), 2u);
        EXPECT_EQ(Kind(section.packets.front()), LineRecord::Opened);
        EXPECT_EQ(Kind(section.packets.back()), LineRecord::Closed);
        ByteString written;
        std::uint64_t last = 0;
        for (const Pcapng::Packet& packet : section.packets) {
            EXPECT_GE(packet.time, last);
            last = packet.time;
            const LineRecord kind = Kind(packet);
            EXPECT_EQ(packet.flags, kind == LineRecord::Written ? Pcapng::Direction::Outbound
                                    : kind == LineRecord::Read  ? Pcapng::Direction::Inbound
                                                                : 0u);
            if (kind == LineRecord::Written) written.insert(written.end(), packet.data.begin() + 1, packet.data.end());
        }
        EXPECT_EQ(written, ByteString(heard.begin() + static_cast<std::ptrdiff_t>((s - 1) * written.size()),
                                      heard.begin() + static_cast<std::ptrdiff_t>(s * written.size())));
    }
    const Pcapng::Section failed = ReadCapturedSection(file.toStdString(), 3).section;
    ASSERT_FALSE(failed.packets.empty());
    EXPECT_EQ(Kind(failed.packets[0]), LineRecord::OpenFailed);
    const CapturedSection played = ReadCapturedSection(file.toStdString(), 0);
    EXPECT_EQ(played.number, 2u) << "the last section that carried traffic";
    EXPECT_EQ(played.notes, std::vector<std::string>{"playing section 2 of 3, the last that carried traffic"});
}

TEST(Capture, ARunKilledMidwayLeavesEveryCompleteRecordReadable) {
    QTemporaryDir dir;
    const QString file = dir.filePath("killed.pcapng");
    PhoneServer phone({.fault = Fault::NoAnswer}, {});
    phone.Start();
    QProcess tool;
    tool.setProcessEnvironment(ToolEnvironment(dir.path()));
    tool.start(QStringLiteral(KELVRA_NETMON),
               {"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--capture", file});
    ASSERT_TRUE(tool.waitForStarted());
    while (phone.Heard().size() < 24 && tool.state() == QProcess::Running) tool.waitForReadyRead(100);
    ::kill(static_cast<pid_t>(tool.processId()), SIGKILL);
    tool.waitForFinished();
    const CapturedSection captured = ReadCapturedSection(file.toStdString(), 1);
    EXPECT_EQ(captured.sections, 1u);
    EXPECT_GE(captured.section.packets.size(), 3u) << "the opening and both copies of the first command";
}

// A capture through a pipe (`--replay <(cat field.pcapng)`) is read to its end: no cut tail where there is
// none, and the last run that carried traffic is found past the first 16 MiB.
TEST(Capture, AReplayReadsAPipeToItsEnd) {
    auto run = [](const std::string& comment, LineRecord kind, const char* hex) {
        ByteString bytes = Pcapng::SectionBlock("kelvra-netmon", comment);
        const ByteString interface = Pcapng::InterfaceBlock(Pcapng::LinkTypeUser0, "/dev/ttyUSB0", "Com1");
        ByteString data = HexToBytes(hex);
        data.insert(data.begin(), static_cast<std::uint8_t>(kind));
        const ByteString packet = Pcapng::PacketBlock(0, 1, data, 0);
        bytes.insert(bytes.end(), interface.begin(), interface.end());
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        return bytes;
    };
    const ByteString empty = Pcapng::SectionBlock("");
    const std::size_t between = (17u << 20) / empty.size();
    ByteString file = run("run of process 1 from 1", LineRecord::Read, "1F10007F0171");
    for (std::size_t i = 0; i < between; ++i) file.insert(file.end(), empty.begin(), empty.end());
    const ByteString last = run("run of process 2 from 2", LineRecord::Written, "1F00107F0272");
    file.insert(file.end(), last.begin(), last.end());
    for (const std::size_t cut : {std::size_t{0}, std::size_t{7}}) {
        SCOPED_TRACE(cut);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        std::thread writer([&file, cut, in = ends[1]] {
            const ssize_t wrote = ::write(in, file.data(), file.size() - cut);
            (void)wrote;
            ::close(in);
        });
        CapturedSection captured;
        try {
            captured = ReadCapturedSection("/dev/fd/" + std::to_string(ends[0]), 0);
        } catch (const std::exception& failure) {
            ADD_FAILURE() << failure.what();
        }
        writer.join();
        ::close(ends[0]);
        const std::size_t sections = between + 2;
        if (cut == 0) {
            EXPECT_EQ(captured.number, sections);
            EXPECT_EQ(captured.notes, std::vector<std::string>{"playing section " + std::to_string(sections) + " of " +
                                                               std::to_string(sections) + ", the last that carried traffic"});
            ASSERT_EQ(captured.section.packets.size(), 1u);
            EXPECT_EQ(Bytes(captured.section.packets[0]), HexToBytes("1F00107F0272"));
        } else {
            EXPECT_EQ(captured.number, 1u) << "the last run's record is cut: the first run plays";
            EXPECT_EQ(captured.notes.size(), 2u);
            EXPECT_NE(captured.notes.at(0).find("the last block is cut short at offset "), std::string::npos)
                << captured.notes.at(0);
        }
    }
}

// A reply cut short, then silence: its bytes are in the capture once the line has been quiet a moment,
// so a run killed while it waits for the rest (SIGKILL, a power cut) still shows what the phone said.
TEST(Capture, AFrameCutShortIsRecordedWhileTheRunWaitsForTheRest) {
    QTemporaryDir dir;
    const QString file = dir.filePath("cut.pcapng");
    Pty line;
    QProcess tool;
    tool.setProcessEnvironment(ToolEnvironment(dir.path()));
    tool.start(QStringLiteral(KELVRA_NETMON), {"--run", "rd-on", "--device", QString::fromStdString(line.Path()),
                                               "--capture", file});
    ASSERT_TRUE(tool.waitForStarted());
    // The first command's first byte: the run reads the line now.
    pollfd far{line.MasterFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&far, 1, 5000), 1);
    const ByteString cut = HexToBytes("1F100040000400");
    ASSERT_EQ(::write(line.MasterFd(), cut.data(), cut.size()), static_cast<ssize_t>(cut.size()));
    bool recorded = false;
    for (int waited = 0; waited < 40 && !recorded; ++waited) {
        tool.waitForFinished(50);
        QFile capture(file);
        recorded = capture.open(QIODevice::ReadOnly) &&
                   capture.readAll().contains(QByteArray("\x01\x1F\x10\x00\x40\x00\x04\x00", 8));
    }
    ::kill(static_cast<pid_t>(tool.processId()), SIGKILL);
    tool.waitForFinished();
    ASSERT_TRUE(recorded) << "the reply cut short was not recorded within 2 s";
    const CapturedSection captured = ReadCapturedSection(file.toStdString(), 1);
    std::vector<std::string> read;
    for (const Pcapng::Packet& packet : captured.section.packets)
        if (Kind(packet) == LineRecord::Read) read.push_back(BytesToHex(Bytes(packet)));
    EXPECT_EQ(read, std::vector<std::string>{"1F 10 00 40 00 04 00"}) << "one record, the frame as it stands";
}

// A failure in the field, reproduced at the desk: the replayed capture gives the same log and status.
TEST(Capture, AReplayedCaptureReproducesTheRun) {
    const struct {
        Fault fault;
        Delivery delivery;
    } runs[] = {{Fault::None, {}}, {Fault::WrongAckSeq, {}}, {Fault::WrongEcho, {}},
                {Fault::None, {.paced = true}}, {Fault::DifferingReplies, {.chunkBytes = 62, .chunkMs = 16}}};
    for (const auto& run : runs) {
        SCOPED_TRACE(static_cast<int>(run.fault));
        QTemporaryDir dir;
        const QString file = dir.filePath("run.pcapng");
        Outcome field;
        {
            PhoneServer phone({.fault = run.fault}, run.delivery);
            phone.Start();
            field = Tool({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--capture", file},
                         dir.path());
        }
        QProcess replay;
        replay.start(QStringLiteral(KELVRA_PHONE_SIM), {"--replay", file, "--quiet"});
        ASSERT_TRUE(replay.waitForReadyRead(5000));
        const QString device = QString::fromUtf8(replay.readLine()).trimmed();
        const Outcome desk = Tool({"--run", "rd-on", "--device", device}, dir.path());
        replay.terminate();
        replay.waitForFinished();
        EXPECT_EQ(desk.status, field.status);
        EXPECT_EQ(desk.out, field.out);
        EXPECT_EQ(replay.readAllStandardError(), "kelvra-phone-sim: playing section 1 of 1, the last that carried traffic\n")
            << "the tool wrote what the capture has";
    }
}

// A three-run file damaged in its middle run, and a device that never ends,
// replayed with 1 GiB of address space: the damage is named with its offset,
// the failing last run plays, and a file that is no capture is refused after
// its first bytes.
TEST(Capture, TheReplayReaderInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#else
    QTemporaryDir dir;
    const QString file = dir.filePath("three.pcapng");
    for (const Fault fault : {Fault::None, Fault::None, Fault::WrongAckSeq}) {
        PhoneServer phone({.fault = fault}, {});
        phone.Start();
        Tool({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--capture", file}, dir.path());
    }
    QFile damaged(file);
    ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
    // The first length of the fourth block of the second run: far past the end of the file.
    qint64 block = CapturedSectionOffset(file, 2);
    for (int hop = 0; hop < 3; ++hop) {
        damaged.seek(block + 4);
        quint32 length = 0;
        damaged.read(reinterpret_cast<char*>(&length), 4);
        block += length;
    }
    damaged.seek(block + 4);
    damaged.write("\xF0\xFF\xFF\x7F", 4);
    damaged.close();
    // 64 MiB of the smallest sections there are, a file naming more runs than the replay remembers, and
    // a run of more records than it keeps.
    const QString sections = dir.filePath("sections.pcapng"), named = dir.filePath("named.pcapng"),
                  longRun = dir.filePath("long.pcapng");
    {
        const ByteString smallest = Pcapng::SectionBlock("");
        ByteString bytes;
        while (bytes.size() < (64u << 20)) bytes.insert(bytes.end(), smallest.begin(), smallest.end());
        QFile out(sections);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        bytes.clear();
        for (std::size_t run = 0; run <= RunCounter::MaxNamedRuns; ++run) {
            const ByteString section = Pcapng::SectionBlock("", "run of process " + std::to_string(run));
            bytes.insert(bytes.end(), section.begin(), section.end());
        }
        QFile outNamed(named);
        ASSERT_TRUE(outNamed.open(QIODevice::WriteOnly));
        outNamed.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        // One run of more records than the replay keeps.
        bytes = Pcapng::SectionBlock("");
        const ByteString interface = Pcapng::InterfaceBlock(Pcapng::LinkTypeUser0, "/dev/ttyUSB0", "Com1");
        const ByteString record = Pcapng::PacketBlock(0, 1, ByteString(4000, 1), 0);
        bytes.insert(bytes.end(), interface.begin(), interface.end());
        while (bytes.size() < MaxPlayedBytes + (1u << 20)) bytes.insert(bytes.end(), record.begin(), record.end());
        QFile outLong(longRun);
        ASSERT_TRUE(outLong.open(QIODevice::WriteOnly));
        outLong.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    const struct {
        QString path;
        int status;
        QString err;  // the start of standard error
    } cases[] = {
        {file, -2, "kelvra-phone-sim: " + file + ": damaged bytes at offset "},
        {"/dev/zero", 1, "kelvra-phone-sim: /dev/zero: not a capture of the line: it does not begin as a pcapng file"},
        {sections, 1, "kelvra-phone-sim: " + sections + ": no section carried traffic (" +
                          QString::number(((64u << 20) + Pcapng::SectionBlock("").size() - 1) /
                                          Pcapng::SectionBlock("").size()) +
                          " sections)"},
        {named, 1, "kelvra-phone-sim: " + named + ": it names more than 100000 runs; the replay does not play it"},
        {longRun, 1, "kelvra-phone-sim: " + longRun + ": section 1 holds more than 64 MiB of records; the replay does not play it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        QProcess replay;
        replay.setChildProcessModifier([] {
            const rlimit space{1ull << 30, 1ull << 30};
            ::setrlimit(RLIMIT_AS, &space);
        });
        replay.start(QStringLiteral(KELVRA_PHONE_SIM), {"--replay", c.path, "--quiet"});
        if (c.status >= 0) {
            ASSERT_TRUE(replay.waitForFinished(60000));
            EXPECT_EQ(replay.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(replay.exitCode(), c.status);
            const QString err = QString::fromUtf8(replay.readAllStandardError());
            EXPECT_TRUE(err.startsWith(c.err)) << err.toStdString();
            continue;
        }
        ASSERT_TRUE(replay.waitForReadyRead(5000));
        const QString device = QString::fromUtf8(replay.readLine()).trimmed();
        const Outcome desk = Tool({"--run", "rd-on", "--device", device}, dir.path());
        EXPECT_EQ(desk.status, 1) << "the failing last run plays";
        replay.terminate();
        replay.waitForFinished();
        const QString err = QString::fromUtf8(replay.readAllStandardError());
        EXPECT_TRUE(err.startsWith(c.err)) << err.toStdString();
        EXPECT_TRUE(err.contains("playing section 3 of 3, the last that carried traffic")) << err.toStdString();
    }
#endif
}

}  // namespace
}  // namespace kelvra
