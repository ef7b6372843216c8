// SPDX-License-Identifier: MIT
// kelvra-netmon --listen on the virtual phone's tap while another run drives
// the phone: the whole exchange, frame by frame, in line order, at any pace.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <set>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/ToolProcess.h"
#include "record/LineCapture.h"
#include "sim/Pty.h"
#include "sim/Replay.h"

namespace kelvra {
namespace {

// What the listener says of R&D test On: direction, summary and bytes, in line order.
const QStringList Exchange{
    "PC to phone  Command seq 1: Init local mode  1F 00 10 40 00 04 00 01 64 01 01 2E",
    "PC to phone  Command seq 1: Init local mode  1F 00 10 40 00 04 00 01 64 01 01 2E",
    "phone to PC  Ack seq 1  1F 10 00 7F 01 71",
    "phone to PC  Reply seq 1 (copy 1)  1F 10 00 40 00 04 00 01 64 01 01 2E",
    "phone to PC  Reply seq 1 (copy 2)  1F 10 00 40 00 04 00 01 64 01 01 2E",
    "phone to PC  Reply seq 1 (copy 3)  1F 10 00 40 00 04 00 01 64 01 01 2E",
    "PC to phone  Ack seq 1  1F 00 10 7F 01 71",
    "PC to phone  Command seq 2: R&D test on  1F 00 10 40 00 04 00 01 7E F3 02 C5",
    "PC to phone  Command seq 2: R&D test on  1F 00 10 40 00 04 00 01 7E F3 02 C5",
    "phone to PC  Ack seq 2  1F 10 00 7F 02 72",
    "phone to PC  Reply seq 2 (copy 1)  1F 10 00 40 00 04 00 01 7E F3 02 C5",
    "phone to PC  Reply seq 2 (copy 2)  1F 10 00 40 00 04 00 01 7E F3 02 C5",
    "phone to PC  Reply seq 2 (copy 3)  1F 10 00 40 00 04 00 01 7E F3 02 C5",
    "PC to phone  Ack seq 2  1F 00 10 7F 02 72",
};

// Waits for the listener's first word, on standard error: it listens.
bool Listening(QProcess& listener) {
    listener.setReadChannel(QProcess::StandardError);
    const bool said = listener.waitForReadyRead(5000);
    listener.setReadChannel(QProcess::StandardOutput);
    return said;
}

// How `pid` holds `device`: the access modes (O_RDONLY, O_WRONLY, O_RDWR) of the descriptors it
// has open on it, leaving out those that only name it (O_PATH).
std::set<int> AccessModes(qint64 pid, const QString& device) {
    std::set<int> modes;
    const QString wanted = QFileInfo(device).canonicalFilePath();
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
        if (QFileInfo(fds + "/" + fd).symLinkTarget() != wanted) continue;
        QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
        if (!info.open(QIODevice::ReadOnly)) continue;
        const QRegularExpressionMatch flags = QRegularExpression("flags:\\s+([0-7]+)").match(info.readAll());
        const int value = flags.captured(1).toInt(nullptr, 8);
        if ((value & O_PATH) == 0) modes.insert(value & O_ACCMODE);
    }
    return modes;
}

QProcessEnvironment Quiet(const QString& config) { return ToolEnvironment(config); }

TEST(Listen, TheWholeExchangeFrameByFrameAtAnyPace) {
    const struct {
        QStringList phone;
        QStringList expected;
    } lines[] = {
        {{}, Exchange},
        {{"--paced"}, Exchange},
        {{"--chunks", "62/16"}, Exchange},
        // Noise on the line before each answer: bytes outside frames, on lines of their own.
        {{"--noise"}, {}},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line.phone.join(' ').toStdString());
        QTemporaryDir dir;
        QProcess phone;
        phone.start(QStringLiteral(KELVRA_PHONE_SIM), QStringList{"--tap", "--quiet"} + line.phone);
        ASSERT_TRUE(phone.waitForReadyRead(5000));
        while (!phone.canReadLine() || phone.peek(4096).count('\n') < 2) phone.waitForReadyRead(1000);
        const QString device = QString::fromUtf8(phone.readLine()).trimmed();
        const QString tap = QString::fromUtf8(phone.readLine()).trimmed();

        QProcess listener;
        listener.setProcessEnvironment(Quiet(dir.path()));
        listener.start(QStringLiteral(KELVRA_NETMON), {"--listen", "--device", tap, "--capture", dir.filePath("heard.pcapng")});
        ASSERT_TRUE(Listening(listener));
        // A listener on a shared line could not write onto it even by mistake.
        EXPECT_EQ(AccessModes(listener.processId(), tap), std::set<int>{O_RDONLY});
        QProcess run;
        run.setProcessEnvironment(Quiet(dir.path()));
        run.start(QStringLiteral(KELVRA_NETMON), {"--run", "rd-on", "--device", device});
        ASSERT_TRUE(run.waitForFinished(10000));
        EXPECT_EQ(run.exitCode(), 0);
        listener.waitForReadyRead(500);
        ::kill(static_cast<pid_t>(listener.processId()), SIGINT);
        ASSERT_TRUE(listener.waitForFinished(2000));
        EXPECT_EQ(listener.exitCode(), 0) << "Ctrl+C is the normal end";

        QStringList heard;
        const QRegularExpression stamp("^ +\\d+ ms  ");
        for (const QString& said : QString::fromUtf8(listener.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
            EXPECT_TRUE(stamp.match(said).hasMatch()) << said.toStdString();
            heard << QString(said).remove(stamp);
        }
        const QStringList err = QString::fromUtf8(listener.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        if (line.expected.isEmpty()) {
            const QStringList frames = heard.filter(QRegularExpression("^(PC to phone|phone to PC)"));
            EXPECT_EQ(frames.size(), 14);
            EXPECT_EQ(heard.filter("line         3 bytes outside a frame  55 1F AA").size(), heard.size() - 14);
            EXPECT_EQ(err.value(1), QStringLiteral("kelvra-netmon: 14 frames, 0 with a bad checksum, %1 bytes outside frames")
                                        .arg(3 * (heard.size() - 14)));
        } else {
            EXPECT_EQ(heard, line.expected);
            EXPECT_EQ(err.value(1), "kelvra-netmon: 14 frames, 0 with a bad checksum, 0 bytes outside frames");
        }
        EXPECT_EQ(err.value(0), "kelvra-netmon: listening to Com1 (" + tap + ") at 9600 8O1, writing nothing; Ctrl+C ends");
        phone.terminate();
        phone.waitForFinished();
        EXPECT_EQ(phone.readAllStandardError(), "") << "the listener wrote nothing into the tap";

        // What was heard, captured: read records only, on an interface that says it was listened to.
        const Pcapng::Section section = ReadCapturedSection(dir.filePath("heard.pcapng").toStdString(), 1).section;
        EXPECT_EQ(section.interfaces.at(0).description, "Com1, listened to");
        int read = 0;
        for (const Pcapng::Packet& packet : section.packets) {
            EXPECT_NE(packet.data.at(0), static_cast<std::uint8_t>(LineRecord::Written));
            read += packet.data.at(0) == static_cast<std::uint8_t>(LineRecord::Read) ? 1 : 0;
        }
        EXPECT_EQ(read, heard.size());
    }
}

// A listener's device going away ends it with one line and status 1; SIGTERM ends it as it ends runs.
TEST(Listen, TheDeviceGoneOrASignal) {
    QTemporaryDir dir;
    for (const int signo : {0, SIGTERM}) {
        SCOPED_TRACE(signo);
        QProcess phone;
        phone.start(QStringLiteral(KELVRA_PHONE_SIM), {"--tap", "--quiet"});
        ASSERT_TRUE(phone.waitForReadyRead(5000));
        while (phone.peek(4096).count('\n') < 2) phone.waitForReadyRead(1000);
        phone.readLine();
        const QString tap = QString::fromUtf8(phone.readLine()).trimmed();
        QProcess listener;
        listener.setProcessEnvironment(Quiet(dir.path()));
        listener.start(QStringLiteral(KELVRA_NETMON), {"--listen", "--device", tap});
        ASSERT_TRUE(Listening(listener));
        if (signo != 0) {
            ::kill(static_cast<pid_t>(listener.processId()), signo);
        } else {
            phone.terminate();  // the tap goes with it
        }
        ASSERT_TRUE(listener.waitForFinished(5000));
        const QStringList err = QString::fromUtf8(listener.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        if (signo != 0) {
            EXPECT_EQ(listener.exitCode(), 128 + signo);
        } else {
            EXPECT_EQ(listener.exitCode(), 1);
            EXPECT_TRUE(err.contains("kelvra-netmon: " + tap + ": the device is gone")) << err.join('\n').toStdString();
        }
        phone.terminate();
        phone.waitForFinished();
    }
}

// Nobody reads the listener any more: it ends at once with status 0 and leaves the port free, whether
// its pipe closes while the line is quiet or while frames pass (`| head -n 3`).
TEST(Listen, AReaderThatGoesEndsIt) {
    QTemporaryDir dir;
    QProcess phone;
    phone.start(QStringLiteral(KELVRA_PHONE_SIM), {"--tap", "--quiet"});
    ASSERT_TRUE(phone.waitForReadyRead(5000));
    while (phone.peek(4096).count('\n') < 2) phone.waitForReadyRead(1000);
    const QString device = QString::fromUtf8(phone.readLine()).trimmed();
    const QString tap = QString::fromUtf8(phone.readLine()).trimmed();
    const QString tool = QStringLiteral(KELVRA_NETMON);
    const struct {
        const char* what;
        QString script;
        bool drive;
        QString out;
    } cases[] = {
        {"a quiet line", "exec \"$0\" --listen --device \"$1\" | true; echo \"${PIPESTATUS[0]}\" >&2", false,
         ""},
        {"frames passing", "\"$0\" --listen --device \"$1\" | head -n 3; echo \"${PIPESTATUS[0]}\" >&2", true,
         "3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QProcess listener;
        listener.setProcessEnvironment(Quiet(dir.path()));
        listener.start("/bin/bash", {"-c", c.script, tool, tap});
        ASSERT_TRUE(Listening(listener));
        if (c.drive) {
            QProcess run;
            run.setProcessEnvironment(Quiet(dir.path()));
            run.start(tool, {"--run", "rd-on", "--device", device});
            ASSERT_TRUE(run.waitForFinished(10000));
        }
        ASSERT_TRUE(listener.waitForFinished(3000)) << "the listener goes on without a reader";
        const QStringList err = QString::fromUtf8(listener.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(err.value(err.size() - 1), "0") << err.join('\n').toStdString();
        EXPECT_EQ(QString::number(listener.readAllStandardOutput().count('\n')), c.out.isEmpty() ? "0" : c.out);
        QProcess again;
        again.setProcessEnvironment(Quiet(dir.path()));
        again.start(tool, {"--listen", "--device", tap});
        ASSERT_TRUE(Listening(again));
        EXPECT_TRUE(again.readAllStandardError().contains("listening to Com1")) << "the port and its lock are free";
        again.terminate();
        again.waitForFinished();
    }
    phone.terminate();
    phone.waitForFinished();
}

// A frame cut short, then silence: the listener shows it, and its capture holds it, once the line has
// been quiet 0.1 s, not when the next byte comes.
TEST(Listen, AFrameCutShortIsShownWhenTheLineFallsQuiet) {
    QTemporaryDir dir;
    Pty line;
    QProcess listener;
    listener.setProcessEnvironment(Quiet(dir.path()));
    listener.start(QStringLiteral(KELVRA_NETMON), {"--listen", "--device", QString::fromStdString(line.Path()),
                                                   "--capture", dir.filePath("cut.pcapng")});
    ASSERT_TRUE(Listening(listener));
    const ByteString cut = HexToBytes("1F00104000040001");
    ASSERT_EQ(::write(line.MasterFd(), cut.data(), cut.size()), static_cast<ssize_t>(cut.size()));
    ASSERT_TRUE(listener.waitForReadyRead(2000)) << "nothing shown while the line is quiet";
    EXPECT_TRUE(listener.readLine().endsWith("PC to phone  Command [cut short]  1F 00 10 40 00 04 00 01\n"));
    // The capture tells the same, at the same time: the frame cut short is in the file already.
    const Pcapng::Section section = ReadCapturedSection(dir.filePath("cut.pcapng").toStdString(), 1).section;
    ASSERT_EQ(section.packets.size(), 2u);
    EXPECT_EQ(BytesToHex(section.packets[1].data), "01 1F 00 10 40 00 04 00 01");
    ::kill(static_cast<pid_t>(listener.processId()), SIGINT);
    ASSERT_TRUE(listener.waitForFinished(2000));
    EXPECT_EQ(listener.readAllStandardOutput(), "") << "nothing more";
}

// The tap only listens: bytes written into it are the listener's fault, said by the virtual phone.
TEST(Listen, BytesWrittenIntoTheTapAreReported) {
    QProcess phone;
    phone.start(QStringLiteral(KELVRA_PHONE_SIM), {"--tap", "--quiet"});
    ASSERT_TRUE(phone.waitForReadyRead(5000));
    while (phone.peek(4096).count('\n') < 2) phone.waitForReadyRead(1000);
    phone.readLine();
    QFile tap(QString::fromUtf8(phone.readLine()).trimmed());
    ASSERT_TRUE(tap.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    tap.write("\x1F\x00", 2);
    phone.setReadChannel(QProcess::StandardError);
    // The line may come in more writes than one.
    while (!phone.peek(4096).contains('\n')) ASSERT_TRUE(phone.waitForReadyRead(5000));
    EXPECT_TRUE(phone.readAllStandardError().startsWith(
        "kelvra-phone-sim: the listener wrote into the tap, which only listens: 1F 00"));
    phone.terminate();
    phone.waitForFinished();
}

}  // namespace
}  // namespace kelvra
