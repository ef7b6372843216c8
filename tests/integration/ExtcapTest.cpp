// SPDX-License-Identifier: MIT
// The program as Wireshark's capture source, called as Wireshark calls it:
// the interfaces, the link type, the device setting and its reload, the
// capture filter check, the device chosen in Wireshark, and a reader that dies.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/ToolProcess.h"
#include "record/LineCapture.h"
#include "record/PcapngReader.h"
#include "sim/Pty.h"

namespace kelvra {
namespace {

struct Answer {
    int status = -1;
    QStringList out;
    QString err;
};

class Extcap : public ::testing::Test {
protected:
    QProcessEnvironment Environment() const {
        return ToolEnvironment(dir.path(), {"KELVRA_COM1=" + QString::fromStdString(line.Path()),
                                            "KELVRA_COM2=/dev/ttyUSB97",  // not there
                                            // a device server: not judged by connecting
                                            "KELVRA_COM3=rfc2217://127.0.0.1:9"});
    }
    Answer Call(const QStringList& arguments) const {
        QProcess tool;
        tool.setProcessEnvironment(Environment());
        tool.start(QStringLiteral(KELVRA_NETMON), arguments);
        tool.waitForFinished(10000);
        return {tool.exitCode(), QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                QString::fromUtf8(tool.readAllStandardError())};
    }

    QTemporaryDir dir;
    Pty line;
};

TEST_F(Extcap, AnswersWiresharksCalls) {
    const QString device = QString::fromStdString(line.Path());
    const struct {
        QStringList call;
        int status;
        QStringList out;  // the first lines
    } calls[] = {
        {{"--extcap-interface", "m2bus-com1", "--extcap-dlts"},
         0,
         {"dlt {number=147}{name=USER0}{display=M2BUS line records}"}},
        // Display names without device paths; a device that is not there is marked.
        {{"--extcap-interfaces"},
         0,
         {"", "interface {value=m2bus-com1}{display=M2BUS Com1}", "interface {value=m2bus-com2}{display=M2BUS Com2 (no device)}",
          "interface {value=m2bus-com3}{display=M2BUS Com3}"}},
        // The device: today's first and chosen by default, then the others present; a reload lists them again.
        {{"--extcap-interface", "m2bus-com1", "--extcap-config"},
         0,
         {"", "value {arg=0}{value=" + device + "}{display=" + device + " (Com1 today)}{default=true}"}},
        {{"--extcap-config", "--extcap-interface", "m2bus-com1", "--extcap-reload-option", "--device"},
         0,
         {"value {arg=0}{value=" + device + "}{display=" + device + " (Com1 today)}{default=true}"}},
        // Wireshark checks a capture filter as it is typed: nothing said is a filter taken.
        {{"--extcap-interface", "m2bus-com1", "--extcap-capture-filter", ""}, 0, {}},
        {{"--extcap-interface", "m2bus-com1", "--extcap-capture-filter", "port 80"},
         0,
         {"M2BUS interfaces take no capture filter; use a display filter such as m2bus.seq == 2"}},
        {{"--extcap-interface", "m2bus-com9", "--extcap-dlts"}, 2, {}},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.call.join(' ').toStdString());
        const Answer answer = Call(c.call);
        EXPECT_EQ(answer.status, c.status) << answer.err.toStdString();
        if (c.out.isEmpty()) EXPECT_TRUE(answer.out.isEmpty()) << answer.out.join('\n').toStdString();
        for (int i = 0; i < c.out.size(); ++i)
            if (!c.out[i].isEmpty()) EXPECT_EQ(answer.out.value(i), c.out[i]);
    }
    const Answer interfaces = Call({"--extcap-interfaces"});
    EXPECT_TRUE(interfaces.out.value(0).contains("{help=file://")) << "a help link to the manual";
    const Answer config = Call({"--extcap-interface", "m2bus-com1", "--extcap-config"});
    EXPECT_TRUE(config.out.value(0).startsWith("arg {number=0}{call=--device}{display=Device}{type=editselector}{reload=true}"))
        << config.out.value(0).toStdString();
}

// Starts a capture as Wireshark does, reading its FIFO; the capture's first section as read so far.
class ExtcapCapture : public Extcap {
protected:
    void Start(const QStringList& more) {
        fifo = dir.filePath("wireshark_extcap_m2bus-com1");
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        tool.setProcessEnvironment(Environment());
        tool.start(QStringLiteral(KELVRA_NETMON),
                   QStringList{"--capture", "--extcap-interface", "m2bus-com1", "--fifo", fifo} + more);
        ASSERT_TRUE(tool.waitForStarted());
    }
    // Reads the FIFO until `want` bytes have come or 5 s have passed.
    void ReadUntil(std::size_t want) {
        for (int tries = 0; tries < 100 && read.size() < want; ++tries) {
            pollfd in{reader, POLLIN, 0};
            if (::poll(&in, 1, 50) != 1) continue;
            char buffer[4096];
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n > 0) read.insert(read.end(), buffer, buffer + n);
        }
    }
    ~ExtcapCapture() override {
        if (reader >= 0) ::close(reader);
        tool.kill();
        tool.waitForFinished();
    }

    QString fifo;
    int reader = -1;
    QProcess tool;
    ByteString read;
};

TEST_F(ExtcapCapture, ListensToTheDeviceChosenInWireshark) {
    // Com1 means another device today; the one chosen in the interface's settings is listened to.
    Pty chosen;
    Start({"--device", QString::fromStdString(chosen.Path())});
    ReadUntil(200);
    const Pcapng::File file = Pcapng::Read(read);
    ASSERT_EQ(file.sections.size(), 1u) << "read " << read.size() << " bytes";
    ASSERT_FALSE(file.sections[0].packets.empty());
    const ByteString opened = file.sections[0].packets[0].data;
    EXPECT_EQ(std::string(opened.begin() + 1, opened.begin() + 1 + static_cast<std::ptrdiff_t>(chosen.Path().size())),
              chosen.Path());
    EXPECT_EQ(file.sections[0].interfaces.at(0).linkType, Pcapng::LinkTypeUser0);
}

TEST_F(ExtcapCapture, AReaderThatDiesFreesThePortWithinASecond) {
    Start({});
    ReadUntil(200);
    ASSERT_FALSE(read.empty());
    ::close(reader);
    reader = -1;
    // No byte comes on the line: the capture source sees its reader gone on its own.
    EXPECT_TRUE(tool.waitForFinished(1500)) << "the port is still held";
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
}

TEST_F(ExtcapCapture, ACaptureFilterIsRefused) {
    Start({"--extcap-capture-filter", "port 80"});
    ASSERT_TRUE(tool.waitForFinished(5000));
    EXPECT_EQ(tool.exitCode(), 2);
    EXPECT_TRUE(tool.readAllStandardError().contains("M2BUS interfaces take no capture filter"));
}

}  // namespace
}  // namespace kelvra
