// SPDX-License-Identifier: MIT
// kelvra-netmon --capture as the field uses it: the file a run leaves, runs
// appended to it, a run killed while it writes, and the capture replayed.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

#include "link/Frame.h"
#include "record/LineCapture.h"
#include "sim/PhoneServer.h"
#include "sim/Replay.h"

namespace kelvra {
namespace {

using Fault = PhoneOptions::Fault;

struct Outcome {
    int status = -1;
    QByteArray out;
};

// The tool run headless with `arguments`, without a display or settings of its own.
Outcome Tool(const QStringList& arguments, const QString& config) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("KELVRA_COM1");
    env.insert("XDG_CONFIG_HOME", config);
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(KELVRA_NETMON), arguments);
    tool.waitForFinished(60000);
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, tool.readAllStandardOutput()};
}

LineRecord Kind(const Pcapng::Packet& packet) { return static_cast<LineRecord>(packet.data.at(0)); }

TEST(Capture, EachRunAppendsASectionOfItsOwn) {
    QTemporaryDir dir;
    const QString file = dir.filePath("field.pcapng");
    PhoneServer phone({}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    for (const char* port : {"1", "2"})
        ASSERT_EQ(Tool({"--run", "rd-on", "--com", port, "--device", device, "--capture", file}, dir.path()).status, 0);

    const Pcapng::File capture = ReadCapture(file.toStdString());
    ASSERT_EQ(capture.sections.size(), 2u);
    EXPECT_FALSE(capture.truncated);
    const ByteString heard = phone.Heard();
    for (std::size_t s = 0; s < 2; ++s) {
        SCOPED_TRACE(s);
        const Pcapng::Section& section = capture.sections[s];
        EXPECT_EQ(section.application, "kelvra-netmon 1.0.4");
        ASSERT_EQ(section.interfaces.size(), 1u);
        EXPECT_EQ(section.interfaces[0].linkType, Pcapng::LinkTypeUser0);
        EXPECT_EQ(section.interfaces[0].name, device.toStdString());
        EXPECT_EQ(section.interfaces[0].description, "Com" + std::to_string(s + 1));
        ASSERT_GE(section.packets.size(), 2u);
        EXPECT_EQ(Kind(section.packets.front()), LineRecord::Opened);
        EXPECT_EQ(Kind(section.packets.back()), LineRecord::Closed);
        ByteString written;
        std::uint64_t last = 0;
        for (const Pcapng::Packet& packet : section.packets) {
            EXPECT_GE(packet.time, last);
            last = packet.time;
            const LineRecord kind = Kind(packet);
            const std::uint32_t direction = kind == LineRecord::Written ? Pcapng::Direction::Outbound
                                            : kind == LineRecord::Read  ? Pcapng::Direction::Inbound
                                                                        : 0;
            EXPECT_EQ(packet.flags, direction);
            const ByteString bytes(packet.data.begin() + 1, packet.data.end());
            if (kind == LineRecord::Written || kind == LineRecord::Read)
                EXPECT_EQ(FramePieces(bytes).size(), 1u) << "one frame a record: " << BytesToHex(bytes);
            if (kind == LineRecord::Written) written.insert(written.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(written, ByteString(heard.begin() + static_cast<std::ptrdiff_t>(s * written.size()),
                                      heard.begin() + static_cast<std::ptrdiff_t>((s + 1) * written.size())));
    }
}

TEST(Capture, ARunKilledMidwayLeavesEveryCompleteRecordReadable) {
    QTemporaryDir dir;
    const QString file = dir.filePath("killed.pcapng");
    PhoneServer phone({.fault = Fault::NoAnswer}, {});
    phone.Start();
    QProcess tool;
    tool.start(QStringLiteral(KELVRA_NETMON),
               {"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--capture", file});
    ASSERT_TRUE(tool.waitForStarted());
    while (phone.Heard().size() < 24 && tool.state() == QProcess::Running) tool.waitForReadyRead(100);
    ::kill(static_cast<pid_t>(tool.processId()), SIGKILL);
    tool.waitForFinished();
    const Pcapng::File capture = ReadCapture(file.toStdString());
    ASSERT_EQ(capture.sections.size(), 1u);
    EXPECT_GE(capture.sections[0].packets.size(), 3u) << "the opening and both copies of the first command";
}

// A failure in the field, reproduced at the desk: the replayed capture gives the same log and status.
TEST(Capture, AReplayedCaptureReproducesTheRun) {
    for (const Fault fault : {Fault::None, Fault::WrongAckSeq, Fault::WrongEcho}) {
        SCOPED_TRACE(static_cast<int>(fault));
        QTemporaryDir dir;
        const QString file = dir.filePath("run.pcapng");
        Outcome field;
        {
            PhoneServer phone({.fault = fault}, {});
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
        EXPECT_EQ(replay.readAllStandardError(), "") << "the tool wrote what the capture has";
    }
}

}  // namespace
}  // namespace kelvra
