// SPDX-License-Identifier: MIT
// kelvra-netmon run as a program: headless runs against virtual phones, the
// command line, the settings file and the log file.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <signal.h>

#include <memory>

#include "serial/QtSerialComm.h"
#include "sim/PhoneServer.h"
#include "tests/support/QtPrinters.h"

namespace kelvra {
namespace {

using Fault = PhoneOptions::Fault;

const QStringList Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                          "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                          "COM port close."};

// The tool started with `arguments`, without a display, its settings in a folder of its own.
class Tool {
public:
    Tool(const QStringList& arguments, const QString& config, const QStringList& environment = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVRA_COM1", "KELVRA_COM2",
                                 "KELVRA_COM3", "KELVRA_COM4"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        for (const QString& entry : environment) env.insert(entry.section('=', 0, 0), entry.section('=', 1));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(KELVRA_NETMON), arguments);
        process.waitForStarted();
    }
    int Finish(int ms = 30000) {
        process.waitForFinished(ms);
        out = QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        err = QString::fromLocal8Bit(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QStringList out, err;
};

class HeadlessRun : public ::testing::Test {
protected:
    QString Config() const { return config.path(); }
    QTemporaryDir config;
};

TEST_F(HeadlessRun, ExitStatusesAndWhatIsPrinted) {
    PhoneServer good({}, {}), wrongAck({.fault = Fault::WrongAckSeq}, {});
    good.Start();
    wrongAck.Start();
    const QString missing = QStringLiteral("/dev/kelvra-missing-%1").arg(::getpid());
    const struct {
        QStringList arguments;
        int status;
        QStringList out;
        QStringList err;  // each a line's start
    } cases[] = {
        {{"--run", "rd-on", "--device", QString::fromStdString(good.DevicePath())}, 0, Success, {}},
        {{"--run", "rd-on", "--device", QString::fromStdString(wrongAck.DevicePath())},
         1,
         {"Init Local Mode...", "COM port open.", "Communication error.", "Communication error.", "COM port close."},
         {}},
        {{"--run", "rd-on", "--device", missing},
         1,
         {"Init Local Mode..."},
         {"kelvra-netmon: " + missing + ": No such file or directory", "kelvra-netmon: COM port error !",
          "kelvra-netmon: " + missing + ": No such file or directory", "kelvra-netmon: COM port error !",
          "kelvra-netmon: " + missing + ": No such file or directory"}},
        {{"--version"}, 0, {"kelvra-netmon 1.0.4"}, {}},
        {{"--bogus"}, 2, {}, {"kelvra-netmon: "}},
        {{"--com", "5", "--run", "off"}, 2, {}, {"kelvra-netmon: --com takes a port number from 1 to 4"}},
        {{"--run", "on"}, 2, {}, {"kelvra-netmon: unknown command 'on'"}},
        {{"--run", "off", "--log-file", "/nonexistent/k.log", "--device", QString::fromStdString(good.DevicePath())},
         2,
         {},
         {"kelvra-netmon: the log file cannot be opened: /nonexistent/k.log: No such file or directory"}},
        {{}, 1, {}, {"kelvra-netmon: no display to open the window on"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        Tool tool(c.arguments, Config());
        EXPECT_EQ(tool.Finish(), c.status);
        EXPECT_EQ(tool.out, c.out);
        ASSERT_EQ(tool.err.size(), c.err.size()) << tool.err.join('\n').toStdString();
        for (qsizetype i = 0; i < c.err.size(); ++i) EXPECT_TRUE(tool.err[i].startsWith(c.err[i])) << tool.err[i].toStdString();
    }
    Tool help({"--help"}, Config());
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_EQ(help.out.value(0), "Usage: kelvra-netmon [options]");
    EXPECT_EQ(good.Heard().size(), 2u * (12 + 12 + 6)) << "only the one good run reached the phone";
}

TEST_F(HeadlessRun, FourPhonesAtOnce) {
    std::vector<std::unique_ptr<PhoneServer>> phones;
    std::vector<std::unique_ptr<Tool>> tools;
    for (int port = 1; port <= 4; ++port) {
        phones.push_back(std::make_unique<PhoneServer>(PhoneOptions{}, Delivery{.paced = true}));
        phones.back()->Start();
        tools.push_back(std::make_unique<Tool>(
            QStringList{"--run", "rd-on", "--com", QString::number(port)}, Config(),
            QStringList{QStringLiteral("KELVRA_COM%1=%2").arg(port).arg(QString::fromStdString(phones.back()->DevicePath()))}));
    }
    for (auto& tool : tools) {
        EXPECT_EQ(tool->Finish(), 0);
        EXPECT_EQ(tool->out, Success);
    }
}

TEST_F(HeadlessRun, SignalDuringAWaitEndsAtOnceWithThePortClosed) {
    const struct {
        int signal;
        int status;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}};
    for (const auto& c : cases) {
        PhoneServer phone({.fault = Fault::NoAnswer}, {});
        phone.Start();
        const QString device = QString::fromStdString(phone.DevicePath());
        Tool first({"--run", "rd-on", "--device", device}, Config());
        ASSERT_TRUE(first.process.waitForReadyRead(5000));
        while (!first.process.canReadLine() || !QString(first.process.peek(1000)).contains("COM port open."))
            first.process.waitForReadyRead(1000);

        Tool second({"--run", "off", "--device", device}, Config());
        EXPECT_EQ(second.Finish(), 1);
        ASSERT_FALSE(second.err.isEmpty());
        EXPECT_TRUE(second.err[0].startsWith("kelvra-netmon: " + device + ": in use by another program (process " +
                                             QString::number(first.process.processId()) + ")"))
            << second.err[0].toStdString();
        EXPECT_EQ(first.process.state(), QProcess::Running) << "the first run is undisturbed";

        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(first.process.processId()), c.signal);
        EXPECT_EQ(first.Finish(2000), c.status);
        EXPECT_LT(clock.elapsed(), 500);
        EXPECT_EQ(first.out, (QStringList{"Init Local Mode...", "COM port open."}));
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        QtSerialComm again;
        EXPECT_NO_THROW(again.SetPortOpen(true)) << "the port was closed and its lock let go";
        ::unsetenv("KELVRA_COM1");
    }
}

TEST_F(HeadlessRun, WhichDeviceEachPortIs) {
    for (const char* map : {"1=/dev/ttyUSB1", "2=/dev/ttyUSB2", "3=/dev/ttyUSB3", "4=/dev/ttyUSB4", "4="}) {
        Tool mapping({"--map", map}, Config());
        EXPECT_EQ(mapping.Finish(), 0);
        EXPECT_EQ(mapping.out, QStringList{Config() + "/Kelvra/kelvra-netmon.conf"});
    }
    Tool list({"--list-ports", "--com", "3", "--device", "/dev/ttyACM3"}, Config(),
              {"KELVRA_COM2=/dev/ttyACM2", "KELVRA_COM3=/dev/ttyACM9"});
    EXPECT_EQ(list.Finish(), 0);
    const QStringList ports = list.out.filter(QRegularExpression("^  Com\\d: "));
    EXPECT_EQ(ports, (QStringList{"  Com1: /dev/ttyUSB1, from the settings file", "  Com2: /dev/ttyACM2, from KELVRA_COM2",
                                  "  Com3: /dev/ttyACM3, from --device", "  Com4: /dev/ttyS3, the default"}));
}

TEST_F(HeadlessRun, MalformedSettingsAreIgnoredWithOneLineEach) {
    QDir().mkpath(Config() + "/Kelvra");
    QFile file(Config() + "/Kelvra/kelvra-netmon.conf");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[ports]\ncom1=ttyUSB0\ncom2=/dev/ttyUSB0, /dev/ttyUSB1\ncom3=/dev/ttyUSB3\n[log]\nfile=\"\"\n\x01\xff\n");
    file.close();
    Tool list({"--list-ports"}, Config());
    EXPECT_EQ(list.Finish(), 0);
    EXPECT_EQ(list.out.filter(QRegularExpression("^  Com[123]: ")),
              (QStringList{"  Com1: /dev/ttyS0, the default", "  Com2: /dev/ttyS1, the default",
                           "  Com3: /dev/ttyUSB3, from the settings file"}));
    EXPECT_EQ(list.err.size(), 3) << list.err.join('\n').toStdString();
    for (const QString& line : list.err) EXPECT_TRUE(line.endsWith("; ignored")) << line.toStdString();
}

TEST_F(HeadlessRun, LogFileKeepsEveryLineOfEveryRun) {
    PhoneServer phone({}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    const QString log = Config() + "/runs.log";
    for (const QString& port : {"1", "2"}) {
        Tool run({"--run", "rd-on", "--com", port, "--device", device, "--log-file", log}, Config());
        EXPECT_EQ(run.Finish(), 0);
    }
    Tool failed({"--run", "rd-on", "--device", "/dev/kelvra-none", "--log-file", log}, Config());
    EXPECT_EQ(failed.Finish(), 1);

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QStringList expected;
    for (const QString& port : {"1", "2"})
        for (const QString& line : Success) expected << "Com" + port + " " + device + " " + line;
    expected << "Com1 /dev/kelvra-none Init Local Mode..."
             << "Com1 /dev/kelvra-none box: /dev/kelvra-none: No such file or directory"
             << "Com1 /dev/kelvra-none box: COM port error !";
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d ");
    QStringList withoutTime;
    for (const QString& line : lines) {
        EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
        withoutTime << QString(line).remove(stamp);
    }
    EXPECT_EQ(withoutTime.mid(0, expected.size()), expected);
}

}  // namespace
}  // namespace kelvra
