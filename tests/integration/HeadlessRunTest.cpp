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
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "serial/linux/QtSerialComm.h"
#include "record/LineCapture.h"
#include "sim/PhoneServer.h"
#include "sim/Replay.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/ToolProcess.h"

namespace kelvra {
namespace {

using Fault = PhoneOptions::Fault;

const QStringList Success{"Init Local Mode...", "COM port open.", "Attention ! Received 3 command block.",
                          "Init Local Mode Ok", "Attention ! Received 3 command block.", "R&D Test On",
                          "COM port close."};

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
         {"kelvra-netmon: rd-on failed on Com1 (" + QString::fromStdString(wrongAck.DevicePath()) +
          "): Communication error."}},
        {{"--run", "rd-on", "--device", missing},
         1,
         {"Init Local Mode..."},
         {"kelvra-netmon: " + missing + ": No such file or directory", "kelvra-netmon: COM port error !",
          "kelvra-netmon: " + missing + ": No such file or directory", "kelvra-netmon: COM port error !",
          "kelvra-netmon: " + missing + ": No such file or directory",
          "kelvra-netmon: rd-on failed on Com1 (" + missing + "): No such file or directory"}},
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

// Four runs at once, sharing one log file: every line of each is there, whole.
TEST_F(HeadlessRun, FourPhonesAtOnce) {
    std::vector<std::unique_ptr<PhoneServer>> phones;
    std::vector<std::unique_ptr<Tool>> tools;
    const QString log = Config() + "/rack.log";
    for (int port = 1; port <= 4; ++port) {
        phones.push_back(std::make_unique<PhoneServer>(PhoneOptions{}, Delivery{.paced = true}));
        phones.back()->Start();
        tools.push_back(std::make_unique<Tool>(
            QStringList{"--run", "rd-on", "--com", QString::number(port), "--log-file", log}, Config(),
            QStringList{QStringLiteral("KELVRA_COM%1=%2").arg(port).arg(QString::fromStdString(phones.back()->DevicePath()))}));
    }
    for (auto& tool : tools) {
        EXPECT_EQ(tool->Finish(), 0);
        EXPECT_EQ(tool->out, Success);
    }
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    for (int port = 1; port <= 4; ++port) {
        const QString device = QString::fromStdString(phones[static_cast<std::size_t>(port - 1)]->DevicePath());
        QStringList ofPort;
        for (const QString& line : lines)
            if (line.section(' ', 1, 2) == QStringLiteral("Com%1 %2").arg(port).arg(device)) ofPort << line.section(' ', 3);
        EXPECT_EQ(ofPort, Success) << "port " << port;
    }
    EXPECT_EQ(lines.size(), 4 * Success.size());
}

TEST_F(HeadlessRun, SignalDuringAWaitEndsAtOnceWithThePortClosed) {
    const struct {
        int signal;
        int status;
        const char* name;
    } cases[] = {{SIGINT, 130, "SIGINT"}, {SIGTERM, 143, "SIGTERM"}, {SIGHUP, 129, "SIGHUP"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PhoneServer phone({.fault = Fault::NoAnswer}, {});
        phone.Start();
        const QString device = QString::fromStdString(phone.DevicePath());
        const QString log = Config() + "/signal.log";
        const QString capture = Config() + "/signal.pcapng";
        QFile::remove(capture);
        Tool first({"--run", "rd-on", "--device", device, "--log-file", log, "--capture", capture}, Config());
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
        QFile record(log);
        ASSERT_TRUE(record.open(QIODevice::ReadOnly));
        EXPECT_TRUE(record.readAll().trimmed().endsWith(QByteArray(" interrupted by ") + c.name));
        // The capture too ends with the port closed by the run, not left to the process's end.
        const std::vector<Pcapng::Packet> captured = ReadCapturedSection(capture.toStdString(), 1).section.packets;
        ASSERT_FALSE(captured.empty());
        EXPECT_EQ(captured.back().data.at(0), static_cast<std::uint8_t>(LineRecord::Closed));
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        QtSerialComm again;
        EXPECT_NO_THROW(again.SetPortOpen(true)) << "the port was closed and its lock let go";
        ::unsetenv("KELVRA_COM1");
    }
}


// The device gone while the command waits: the closing line names the device once, with the component's reason.
TEST_F(HeadlessRun, DeviceGoneMidWaitIsTheClosingLinesReason) {
    PhoneServer phone({.fault = Fault::Silent}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    Tool run({"--run", "rd-on", "--device", device}, Config());
    ASSERT_TRUE(run.process.waitForReadyRead(5000));
    while (!QString(run.process.peek(1000)).contains("COM port open.")) ASSERT_TRUE(run.process.waitForReadyRead(5000));
    phone.PullCable();
    EXPECT_EQ(run.Finish(5000), 1);
    ASSERT_FALSE(run.err.isEmpty());
    EXPECT_EQ(run.err.last(), "kelvra-netmon: rd-on failed on Com1 (" + device + "): the device is gone");
}
TEST_F(HeadlessRun, WhichDeviceEachPortIs) {
    for (const char* map : {"1=/dev/ttyUSB1", "2=/dev/ttyUSB2", "3=/dev/ttyUSB3", "4=/dev/ttyUSB4", "4="}) {
        Tool mapping({"--map", map}, Config());
        EXPECT_EQ(mapping.Finish(), 0);
        EXPECT_EQ(mapping.out, QStringList{Config() + "/Kelvra/kelvra-netmon.conf"});
    }
    Tool list({"--list-ports", "--com", "3", "--device", "/dev/ttyACM3"}, Config(),
              {"KELVRA_COM2=/dev/ttyACM2", "KELVRA_COM3=/dev/ttyACM9", "KELVRA_COM4=ttyACM4"});
    EXPECT_EQ(list.Finish(), 0);
    EXPECT_EQ(list.err, QStringList{"kelvra-netmon: KELVRA_COM4 is not a device's absolute path; ignored"})
        << "the same rule as --device";
    const QStringList ports = list.out.filter(QRegularExpression("^  Com\\d: "));
    EXPECT_EQ(ports, (QStringList{"  Com1: /dev/ttyUSB1, from the settings file", "  Com2: /dev/ttyACM2, from KELVRA_COM2",
                                  "  Com3: /dev/ttyACM3, from --device", "  Com4: /dev/ttyS3, the default"}));
    EXPECT_EQ(list.out.value(0), "Serial devices:");
    EXPECT_EQ(list.out.value(list.out.size() - 1), "Settings file: " + Config() + "/Kelvra/kelvra-netmon.conf");
}

TEST_F(HeadlessRun, MalformedSettingsAreIgnoredWithOneLineEach) {
    QDir().mkpath(Config() + "/Kelvra");
    QFile file(Config() + "/Kelvra/kelvra-netmon.conf");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[ports]\ncom1=ttyUSB0\ncom2=/dev/ttyUSB0, /dev/ttyUSB1\ncom3=/dev/ttyUSB3\n"
               "com4=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\tNoSuchType\\0)\n[log]\nfile=@Invalid()\n\x01\xff\n");
    file.close();
    Tool list({"--list-ports"}, Config());
    EXPECT_EQ(list.Finish(), 0);
    EXPECT_EQ(list.out.filter(QRegularExpression("^  Com\\d: ")),
              (QStringList{"  Com1: /dev/ttyS0, the default", "  Com2: /dev/ttyS1, the default",
                           "  Com3: /dev/ttyUSB3, from the settings file", "  Com4: /dev/ttyS3, the default"}));
    EXPECT_EQ(list.err.size(), 4) << list.err.join('\n').toStdString();
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

// A run whose output nobody reads, or that a signal reaches while it is not
// waiting for the line, still ends with the port closed and its lock gone.
TEST_F(HeadlessRun, ClosedOutputAndSignalsBetweenWaits) {
    PhoneServer phone({}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    auto portFree = [&] {
        QtSerialComm again(PortMap{});
        ::setenv("KELVRA_COM1", phone.DevicePath().c_str(), 1);
        again.SetPortOpen(true);
        ::unsetenv("KELVRA_COM1");
        return again.PortOpen();
    };
    // Standard output a pipe whose reader has gone, as in `kelvra-netmon --run rd-on | head -n 1`.
    Tool closed({"--run", "rd-on", "--device", device}, Config(), {}, [] {
        int ends[2];
        if (::pipe(ends) == 0) ::dup2(ends[1], STDOUT_FILENO), ::close(ends[0]);
    });
    EXPECT_EQ(closed.Finish(), 0);
    EXPECT_EQ(phone.Heard().size(), 2u * (12 + 12 + 6)) << "the command ran to its end";
    EXPECT_TRUE(portFree());

    // A signal while the run is held writing its first line and then fails to open the port.
    int full[2];
    ASSERT_EQ(::pipe(full), 0);
    ::fcntl(full[0], F_SETFL, O_NONBLOCK);
    ::fcntl(full[1], F_SETFL, O_NONBLOCK);
    while (::write(full[1], "........", 8) == 8) {
    }
    ::fcntl(full[1], F_SETFL, 0);
    Tool held({"--run", "rd-on", "--device", "/dev/kelvra-missing"}, Config(), {},
              [&] { ::dup2(full[1], STDOUT_FILENO); });
    const QString wchan = QStringLiteral("/proc/%1/wchan").arg(held.process.processId());
    for (int i = 0; i < 500; ++i) {
        QFile blocked(wchan);
        if (blocked.open(QIODevice::ReadOnly) && blocked.readAll().contains("pipe_write")) break;
        QThread::msleep(10);
    }
    ::kill(static_cast<pid_t>(held.process.processId()), SIGTERM);
    char drain[65536];
    while (::read(full[0], drain, sizeof drain) > 0) {
    }
    EXPECT_EQ(held.Finish(), 128 + SIGTERM);
    EXPECT_EQ(held.err.size(), 1) << "it ended after the first message: " << held.err.join('\n').toStdString();
    ::close(full[0]);
    ::close(full[1]);
}

// Standard streams closed at start (a cron job, `>&-`): no file the run opens takes their place, so the
// log file holds its own lines only, and a closed standard output is said as such.
TEST_F(HeadlessRun, ClosedStandardStreams) {
    PhoneServer phone({}, {});
    phone.Start();
    const QString log = Config() + "/field.log";
    const struct {
        const char* what;
        std::vector<int> closed;
        QStringList err;
    } cases[] = {
        {"<&- >&- 2>&-", {0, 1, 2}, {}},
        {">&-", {1}, {"kelvra-netmon: standard output is closed; its lines are lost"}},
        {"<&-", {0}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(log);
        Tool run({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), "--log-file", log},
                 Config(), {}, [&c] {
                     for (const int fd : c.closed) ::close(fd);
                 });
        EXPECT_EQ(run.Finish(), c.closed.size() == 1 && c.closed[0] == 0 ? 0 : 3);
        EXPECT_EQ(run.err, c.err);
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), Success.size()) << lines.join('\n').toStdString();
        for (int i = 0; i < lines.size(); ++i) EXPECT_TRUE(lines[i].endsWith(" " + Success[i])) << lines[i].toStdString();
    }
}

// Every output path follows one rule for a pipe nobody reads (`| grep -q`): dropped, the usual status.
TEST_F(HeadlessRun, EveryOutputIntoAClosedPipe) {
    for (const QStringList& arguments : {QStringList{"--extcap-interfaces"}, QStringList{"--help"},
                                         QStringList{"--version"}, QStringList{"--list-ports"},
                                         QStringList{"--extcap-interface", "m2bus-com1", "--extcap-dlts"}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        Tool run(arguments, Config(), {}, [] {
            int ends[2];
            if (::pipe(ends) == 0) ::dup2(ends[1], STDOUT_FILENO), ::close(ends[0]);
        });
        EXPECT_EQ(run.Finish(), 0) << "not ended by SIGPIPE";
        EXPECT_EQ(run.err, QStringList{});
    }
}

// A record that cannot be written is told once and gives a status of its
// own; another program's lock is waited for once and then written past,
// losing nothing; neither holds the run long, nor a signal.
TEST_F(HeadlessRun, ARecordThatCannotBeWritten) {
    PhoneServer good({}, {}), silent({.fault = Fault::NoAnswer}, {});
    good.Start();
    silent.Start();
    const QString locked = Config() + "/locked.log";
    QFile holder(locked);
    ASSERT_TRUE(holder.open(QIODevice::WriteOnly));
    ASSERT_EQ(::flock(holder.handle(), LOCK_EX), 0);
    const struct {
        QString option, file;
        int status;
        QString err;
    } cases[] = {{"--log-file", "/dev/full", 3, "the log file /dev/full cannot be written: No space left on device"},
                 {"--log-file", locked, 0,
                  "the log file " + locked +
                      " was locked by another program for over a second; it is written without waiting for the lock"},
                 {"--capture", "/dev/full", 3, "the capture file /dev/full cannot be written: No space left on device"}};
    for (const auto& c : cases) {
        SCOPED_TRACE((c.option + " " + c.file).toStdString());
        QElapsedTimer clock;
        clock.start();
        Tool run({"--run", "rd-on", "--device", QString::fromStdString(good.DevicePath()), c.option, c.file},
                 Config());
        EXPECT_EQ(run.Finish(), c.status);
        EXPECT_LT(clock.elapsed(), 2500) << "a lock is waited for once, about a second";
        EXPECT_EQ(run.out, Success);
        EXPECT_EQ(run.err, QStringList{"kelvra-netmon: " + c.err});
    }
    QFile written(locked);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().count('\n'), Success.size()) << "no line of the locked file is lost";
    Tool waiting({"--run", "rd-on", "--device", QString::fromStdString(silent.DevicePath()), "--log-file", locked},
                 Config());
    ASSERT_TRUE(waiting.process.waitForReadyRead(5000));
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(waiting.process.processId()), SIGINT);
    EXPECT_EQ(waiting.Finish(), 130);
    EXPECT_LT(clock.elapsed(), 500);
}

// --map changes its own line and nothing else, or leaves the file byte for
// byte and says why; what it stores reads back.
TEST_F(HeadlessRun, MappingKeepsTheSettingsFileWhole) {
    const QString path = Config() + "/Kelvra/kelvra-netmon.conf";
    const QByteArray comments = "; the lab's adapters\n[ports]\ncom1=/dev/ttyUSB0\n\n[other]\nkey=1\n";
    const struct {
        QByteArray before;
        QString map;
        int status;
        QByteArray after;
        QString err;  // the start of the one line on standard error
    } cases[] = {
        {comments, "2=/dev/ttyUSB1", 0,
         "; the lab's adapters\n[ports]\ncom1=/dev/ttyUSB0\ncom2=/dev/ttyUSB1\n\n[other]\nkey=1\n", {}},
        {"[ports]\ncom2=/dev/old\ncom3=/dev/ttyUSB2\n", "2=", 0, "[ports]\ncom3=/dev/ttyUSB2\n", {}},
        // A key written twice by hand: the one entry left stands where its first copy stood.
        {"[ports]\ncom1=/dev/a\ncom2=/dev/x\ncom1=/dev/b\n", "1=/dev/c", 0, "[ports]\ncom1=/dev/c\ncom2=/dev/x\n", {}},
        {"key=1", "1=/dev/ttyUSB0", 0, "key=1\n\n[ports]\ncom1=/dev/ttyUSB0\n", {}},
        {"com3 /dev/ttyUSB2\n", "2=/dev/ttyUSB1", 2, "com3 /dev/ttyUSB2\n",
         path + ": line 1 (com3 /dev/ttyUSB2) is not a setting; the file is left as it is"},
        {"\xEF\xBB\xBF[ports]\ncom1=/dev/a\n", "2=/dev/b", 0, "\xEF\xBB\xBF[ports]\ncom1=/dev/a\ncom2=/dev/b\n", {}},
        {"; lab\r\n[ports]\r\ncom1=/dev/a\r\n", "2=/dev/b", 0, "; lab\r\n[ports]\r\ncom1=/dev/a\r\ncom2=/dev/b\r\n", {}},
        {"[ports]\r\ncom1=/dev/a\r\ncom2=/dev/b\r\n", "1=", 0, "[ports]\r\ncom2=/dev/b\r\n", {}},
        {"[ports]\n", "1=/dev/tty\\377", 2, "[ports]\n", "--map 1=/dev/tty"},
        {"[ports]\n", "1=/dev/by-id/usb-a,b \"c\"", 0, "[ports]\ncom1=\"/dev/by-id/usb-a,b \\\"c\\\"\"\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.map.toStdString());
        QDir().mkpath(Config() + "/Kelvra");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.before);
        file.close();
        // Through the shell, so that a name can be bytes that are not UTF-8.
        QProcess mapping;
        mapping.setProcessEnvironment(ToolEnvironment(Config()));
        mapping.start("/bin/sh", {"-c", "exec \"$0\" --map \"$(printf \"$1\")\"", KELVRA_NETMON, c.map});
        mapping.waitForFinished();
        EXPECT_EQ(mapping.exitCode(), c.status);
        const QString err = QString::fromUtf8(mapping.readAllStandardError()).trimmed();
        if (c.err.isEmpty()) EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        else EXPECT_TRUE(err.startsWith("kelvra-netmon: " + c.err)) << err.toStdString();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), c.after);
        file.close();
    }
    Tool list({"--list-ports"}, Config());
    EXPECT_EQ(list.Finish(), 0);
    EXPECT_TRUE(list.out.contains("  Com1: /dev/by-id/usb-a,b \"c\", from the settings file")) << "stored as given";
}

// Mappings made at the same moment by two runs each arrive: every edit reads the file anew under its lock.
TEST_F(HeadlessRun, TwoMappingsAtOnceBothArrive) {
    const QString path = Config() + "/Kelvra/kelvra-netmon.conf";
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        QFile::remove(path);
        Tool first({"--map", "1=/dev/ttyUSB" + QString::number(round)}, Config());
        Tool second({"--map", "2=/dev/ttyACM" + QString::number(round)}, Config());
        EXPECT_EQ(first.Finish(), 0);
        EXPECT_EQ(second.Finish(), 0);
        Tool list({"--list-ports"}, Config());
        list.Finish();
        EXPECT_TRUE(list.out.contains(QStringLiteral("  Com1: /dev/ttyUSB%1, from the settings file").arg(round)));
        EXPECT_TRUE(list.out.contains(QStringLiteral("  Com2: /dev/ttyACM%1, from the settings file").arg(round)));
    }
}

// Another process holding the settings folder (a --map that hangs, an editor's lock) is waited for a few
// seconds, then named, and nothing changes; the file keeps its permissions when it does change.
TEST_F(HeadlessRun, MappingWhileTheSettingsAreHeld) {
    const QString folder = Config() + "/Kelvra";
    const QString path = folder + "/kelvra-netmon.conf";
    QDir().mkpath(folder);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[ports]\ncom1=/dev/a\n");
    file.close();
    ::chmod(path.toLocal8Bit().constData(), 0640);
    const int held = ::open(folder.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    QElapsedTimer clock;
    clock.start();
    Tool waiting({"--map", "2=/dev/b"}, Config());
    EXPECT_EQ(waiting.Finish(10000), 2);
    EXPECT_GE(clock.elapsed(), 2500);
    EXPECT_LT(clock.elapsed(), 6000);
    EXPECT_EQ(waiting.err, QStringList{"kelvra-netmon: " + folder + ": another process (process " +
                                       QString::number(::getpid()) +
                                       ") has been changing the settings for 3 seconds; nothing was changed, try again"});
    ::close(held);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "[ports]\ncom1=/dev/a\n");
    file.close();
    Tool mapping({"--map", "2=/dev/b"}, Config());
    EXPECT_EQ(mapping.Finish(), 0);
    struct stat after {};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &after), 0);
    EXPECT_EQ(after.st_mode & 0777, 0640u) << "not the new file's own 0600";
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"kelvra-netmon.conf"}) << "nothing is left beside it";
}

// A signal the run was started with ignored (nohup, a script's background job) stays ignored.
TEST_F(HeadlessRun, SignalsIgnoredAtStartStayIgnored) {
    PhoneServer phone({}, {.paced = true});
    phone.Start();
    for (const int signo : {SIGHUP, SIGINT, SIGTERM}) {
        SCOPED_TRACE(signo);
        Tool run({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath())}, Config(), {},
                 [signo] { ::signal(signo, SIG_IGN); });
        while (!QString(run.process.peek(1000)).contains("COM port open.")) run.process.waitForReadyRead(1000);
        ::kill(static_cast<pid_t>(run.process.processId()), signo);
        EXPECT_EQ(run.Finish(), 0);
        EXPECT_EQ(run.out, Success);
    }
}

// Log and capture files as the user named them: their bytes, a FIFO only
// with a reader, one file not both; anything else refused at once with
// status 2, the file left as it was.
TEST_F(HeadlessRun, RecordFilesAsNamed) {
    PhoneServer phone({}, {});
    phone.Start();
    const QString device = QString::fromStdString(phone.DevicePath());
    const QByteArray dir = QFile::encodeName(Config());
    const QString text = Config() + "/field.log";
    QFile existing(text);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("2026-12-07T11:04:12.381+01:00 Com1 /dev/ttyUSB0 COM port open.\n");
    existing.close();
    const QString fifo = Config() + "/unread";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QStringList options;
        QString err;  // empty: the run succeeds
    } cases[] = {
        {{"--log-file", text, "--capture", text}, "the log file and the capture file cannot be one file (" + text + ")"},
        {{"--log-file", text, "--capture", Config() + "/../" + QFileInfo(Config()).fileName() + "/field.log"},
         "the log file and the capture file cannot be one file"},
        {{"--capture", text}, "the capture file cannot be opened: " + text + ": not a pcapng capture; it is left as it is"},
        {{"--log-file", fifo}, "the log file cannot be opened: " + fifo + ": a FIFO that nothing reads; start its reader first"},
        {{"--capture", fifo}, "the capture file cannot be opened: " + fifo + ": a FIFO that nothing reads; start its reader first"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        QElapsedTimer clock;
        clock.start();
        Tool run(QStringList{"--run", "rd-on", "--device", device} + c.options, Config());
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_LT(clock.elapsed(), 2000) << "refused at once";
        ASSERT_EQ(run.err.size(), 1);
        EXPECT_TRUE(run.err[0].startsWith("kelvra-netmon: " + c.err)) << run.err[0].toStdString();
        ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
        EXPECT_EQ(existing.readAll(), "2026-12-07T11:04:12.381+01:00 Com1 /dev/ttyUSB0 COM port open.\n");
        existing.close();
    }
    // Names that are not UTF-8, through the shell so that the bytes stay as given.
    QProcess named;
    named.setProcessEnvironment(ToolEnvironment(Config()));
    named.start("/bin/sh", {"-c", "exec \"$0\" --run off --device \"$1\" --log-file \"$2/field$(printf '\\377').log\" "
                                  "--capture \"$2/run$(printf '\\376').pcapng\"",
                            KELVRA_NETMON, device, Config()});
    named.waitForFinished();
    EXPECT_EQ(named.exitCode(), 0) << named.readAllStandardError().toStdString();
    struct stat file {};
    EXPECT_EQ(::stat((dir + "/field\xff.log").constData(), &file), 0) << "the log file under its own bytes";
    EXPECT_GT(file.st_size, 0);
    EXPECT_EQ(::stat((dir + "/run\xfe.pcapng").constData(), &file), 0) << "the capture under its own bytes";
}

// A FIFO that something reads takes the record as it happens: a run watched live.
TEST_F(HeadlessRun, AFifoWithAReaderTakesTheRecordLive) {
    PhoneServer phone({}, {});
    phone.Start();
    for (const QString option : {"--log-file", "--capture"}) {
        SCOPED_TRACE(option.toStdString());
        const QString fifo = Config() + "/live" + option;
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QProcess reader;
        reader.start("cat", {fifo});
        ASSERT_TRUE(reader.waitForStarted());
        QThread::msleep(100);
        Tool run({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath()), option, fifo}, Config());
        EXPECT_EQ(run.Finish(), 0) << run.err.join('\n').toStdString();
        reader.waitForFinished();
        const QByteArray seen = reader.readAllStandardOutput();
        if (option == "--log-file")
            EXPECT_EQ(seen.count('\n'), Success.size());
        else
            EXPECT_TRUE(seen.startsWith("\x0A\x0D\x0D\x0A")) << "a pcapng stream";
    }
}

// Standard output that cannot be written for another reason than nobody reading it is said once, with status 3.
TEST_F(HeadlessRun, StandardOutputOnAFullDisk) {
    PhoneServer phone({}, {});
    phone.Start();
    Tool run({"--run", "rd-on", "--device", QString::fromStdString(phone.DevicePath())}, Config(), {}, [] {
        const int full = ::open("/dev/full", O_WRONLY);
        ::dup2(full, STDOUT_FILENO);
    });
    EXPECT_EQ(run.Finish(), 3);
    EXPECT_EQ(run.err, QStringList{"kelvra-netmon: standard output cannot be written: No space left on device"});
    EXPECT_EQ(phone.Heard().size(), 2u * (12 + 12 + 6)) << "the command ran to its end";
}

// A dead display is one line, not Qt's abort.
TEST_F(HeadlessRun, ADisplayThatDoesNotAnswer) {
    Tool window({}, Config(), {"DISPLAY=:93", "QT_QPA_PLATFORM=xcb"});
    EXPECT_EQ(window.Finish(), 1);
    EXPECT_EQ(window.err, QStringList{"kelvra-netmon: cannot open the display :93"});
}

}  // namespace
}  // namespace kelvra
