// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/QtRuntime.h"
#include "link/CommGlobal.h"
#include "serial/Devices.h"
#include "serial/linux/DeviceAccess.h"
#include "serial/PortMap.h"
#include "serial/linux/QtSerialComm.h"
#include "sim/Pty.h"

namespace kelvra {
namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Com1 on a fresh pseudo-terminal, through KELVRA_COM1.
class SerialCommTest : public ::testing::Test {
protected:
    SerialCommTest() {
        ::setenv("KELVRA_COM1", pty.Path().c_str(), 1);
        comm.SetOnComm([this] { events.push_back(comm.CommEvent()); });
    }
    ~SerialCommTest() override { ::unsetenv("KELVRA_COM1"); }

    // Processes events until `count` bytes have arrived or `seconds` of real time passed.
    Bytes Receive(std::size_t count, double seconds = 5.0) {
        Bytes got;
        const double deadline = runtime.Timer() + seconds;
        while (got.size() < count && runtime.Timer() < deadline) {
            runtime.DoEvents(deadline);
            if (comm.InBufferCount() != 0) {
                const Bytes part = comm.Input();
                got.insert(got.end(), part.begin(), part.end());
            }
        }
        return got;
    }
    // Processes events for `seconds` without taking any received byte.
    void Idle(double seconds) {
        const double deadline = runtime.Timer() + seconds;
        while (runtime.Timer() < deadline) runtime.DoEvents(deadline);
    }
    void WriteFar(const Bytes& bytes) {
        ASSERT_EQ(::write(pty.MasterFd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Where programs lock the pseudo-terminal: /var/lock/LCK..pts_<n>.
    std::string LockPath() const { return "/var/lock/LCK..pts_" + pty.Path().substr(pty.Path().rfind('/') + 1); }
    Bytes ReadFar(std::size_t count) {
        Bytes got(count);
        std::size_t have = 0;
        while (have < count) {
            const ssize_t n = ::read(pty.MasterFd(), got.data() + have, count - have);
            if (n <= 0) break;
            have += static_cast<std::size_t>(n);
        }
        got.resize(have);
        return got;
    }

    Pty pty;
    QtRuntime runtime;
    QtSerialComm comm;
    std::vector<std::int16_t> events;
};

Bytes EveryByteValue() {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    return all;
}

TEST_F(SerialCommTest, OpensWithTheFixedLineSettings) {
    comm.SetPortOpen(true);
    ASSERT_TRUE(comm.PortOpen());
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.MasterFd(), &tio), 0);  // a pty master reports its device's settings
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    // A pseudo-terminal keeps PARODD but drops PARENB: it has no parity bit to generate.
    EXPECT_TRUE(tio.c_cflag & PARODD);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
    comm.SetPortOpen(false);
    EXPECT_FALSE(comm.PortOpen());
}

TEST_F(SerialCommTest, BytesPassUnchangedBothWays) {
    comm.SetPortOpen(true);
    const Bytes all = EveryByteValue();
    comm.Output(all);
    EXPECT_EQ(ReadFar(all.size()), all);
    WriteFar(all);
    EXPECT_EQ(Receive(all.size()), all);
}

TEST_F(SerialCommTest, DiscardingTheReceiveBufferDropsWhatArrived) {
    comm.SetPortOpen(true);
    WriteFar({1, 2, 3});
    Idle(0.3);
    ASSERT_EQ(comm.InBufferCount(), 3);
    comm.SetInBufferCount(0);
    EXPECT_EQ(comm.InBufferCount(), 0);
    WriteFar({4});
    EXPECT_EQ(Receive(1), Bytes{4});
}

TEST_F(SerialCommTest, ClosedPortRefusesTransfersButToleratesDiscards) {
    EXPECT_THROW(comm.InBufferCount(), CommError);
    EXPECT_THROW(comm.Input(), CommError);
    EXPECT_THROW(comm.Output({1}), CommError);
    EXPECT_THROW(comm.OutBufferCount(), CommError);
    EXPECT_NO_THROW(comm.SetInBufferCount(0));
    EXPECT_NO_THROW(comm.SetOutBufferCount(0));
    EXPECT_NO_THROW(comm.SetPortOpen(false));
}

// A port opened for listening hears the line and puts nothing on it, whoever asks.
TEST_F(SerialCommTest, AListeningPortRefusesToWrite) {
    comm.SetListenOnly(true);
    comm.SetPortOpen(true);
    try {
        comm.Output({0x1F, 0x00});
        ADD_FAILURE() << "a listening port took bytes to send";
    } catch (const CommError& error) {
        EXPECT_EQ(std::string(error.what()), pty.Path() + ": open for listening only");
    }
    WriteFar({7});
    EXPECT_EQ(Receive(1), Bytes{7});
    comm.SetPortOpen(false);
    pollfd far{pty.MasterFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&far, 1, 100), 0) << "bytes reached the line";
}

TEST_F(SerialCommTest, MissingDeviceRaisesTheSystemText) {
    // A name of its own: tests run in parallel, and a device's lock file is per name.
    const std::string missing = "/dev/kelvra-absent-" + std::to_string(::getpid());
    ::setenv("KELVRA_COM2", missing.c_str(), 1);
    comm.SetCommPort(2);
    try {
        comm.SetPortOpen(true);
        FAIL() << "opened a device that does not exist";
    } catch (const CommError& e) {
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    EXPECT_FALSE(comm.PortOpen());
    ::unsetenv("KELVRA_COM2");
}

TEST_F(SerialCommTest, PortNumbersMapToDevices) {
    ::unsetenv("KELVRA_COM1");
    PortMap ports;
    EXPECT_EQ(ports.Device(1), "/dev/ttyS0");
    EXPECT_EQ(ports.Device(4), "/dev/ttyS3");
    ports.SetSettings(4, "/dev/ttyACM0");
    EXPECT_EQ(DescribeMapping(ports.Resolve(4), 4), "/dev/ttyACM0, from the settings file");
    ::setenv("KELVRA_COM4", "/dev/ttyUSB0", 1);
    EXPECT_EQ(DescribeMapping(ports.Resolve(4), 4), "/dev/ttyUSB0, from KELVRA_COM4");
    ports.SetOption(4, "/dev/ttyUSB1");
    EXPECT_EQ(DescribeMapping(ports.Resolve(4), 4), "/dev/ttyUSB1, from --device");
    ports.SetOption(4, "");
    ::setenv("KELVRA_COM4", "", 1);
    EXPECT_EQ(ports.Device(4), "/dev/ttyACM0") << "an empty override is no override";
    EXPECT_EQ(DescribeMapping(PortMap().Resolve(4), 4), "/dev/ttyS3, the default");
    ::unsetenv("KELVRA_COM4");
    EXPECT_THROW(comm.SetCommPort(5), CommError);
}

// Device instance IDs as Windows reports them for adapters of several makers and drivers, and for other ports.
TEST(ParseInstanceId, UsbVendorProductAndSerialNumberOfEveryDriver) {
    const struct {
        const char* id;
        const char* usbId;
        const char* serial;
    } cases[] = {
        {"USB\\VID_0403&PID_6001\\A50285BI", "0403:6001", "A50285BI"},               // FTDI on Windows' own driver
        {"FTDIBUS\\VID_0403+PID_6001+A12345A\\0000", "0403:6001", "A12345"},          // FTDI's driver, port A
        {"FTDIBUS\\VID_0403+PID_6011+FT4XYZB\\0000", "0403:6011", "FT4XYZ"},          // a four-port chip, port B
        {"USB\\VID_067B&PID_2303\\5&2A3B4C5&0&2", "067b:2303", ""},                    // Prolific: no serial number
        {"USB\\VID_10C4&PID_EA60\\0001", "10c4:ea60", "0001"},                         // Silicon Labs CP210x
        {"USB\\VID_1A86&PID_7523\\6&1B2C3D4E&0&3", "1a86:7523", ""},                   // WCH CH340
        {"USB\\VID_2341&PID_0043&MI_00\\7&2F1A&0&0000", "2341:0043", ""},              // one interface of a composite device
        {"usb\\vid_0403&pid_6015\\dk0abcde", "0403:6015", "dk0abcde"},                 // spelt in lower case
        {"ACPI\\PNP0501\\1", "", ""},                                                   // the mainboard's own port
        {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1F&0&0", "", ""},  // Bluetooth
    };
    for (const auto& c : cases) {
        const UsbIdentity identity = ParseInstanceId(QString::fromLatin1(c.id));
        EXPECT_EQ(identity.usbId, QLatin1String(c.usbId)) << c.id;
        EXPECT_EQ(identity.serialNumber, QLatin1String(c.serial)) << c.id;
    }
}

TEST(AdapterHint, NamesTheUsbAdaptersPresentUnlessTheDeviceIsOne) {
    const std::vector<SerialDevice> present{{"/dev/ttyS0", {}, {}, {}, {}, {}},
                                            {"/dev/ttyUSB0", "UART", "maker", "1234:5678", "A1", {"/dev/serial/by-id/x"}},
                                            {"/dev/ttyACM0", {}, {}, "abcd:0001", {}, {}}};
    EXPECT_EQ(AdapterHint("/dev/ttyS1", 2, present),
              "Serial adapters present: /dev/ttyUSB0, /dev/ttyACM0. Map one with: kelvra-netmon --map 2=/dev/ttyUSB0");
    EXPECT_EQ(AdapterHint("/dev/serial/by-id/x", 1, present), "") << "the device is one of them";
    EXPECT_EQ(AdapterHint("/dev/ttyS1", 1, {present[0]}), "") << "no USB adapter";
}

TEST_F(SerialCommTest, SelectedPortNumberPicksTheDevice) {
    Pty third;
    ::setenv("KELVRA_COM3", third.Path().c_str(), 1);
    comm.SetCommPort(3);
    comm.SetPortOpen(true);
    comm.Output({0x5A});
    Bytes got(1);
    EXPECT_EQ(::read(third.MasterFd(), got.data(), 1), 1);
    EXPECT_EQ(got, Bytes{0x5A});
    comm.SetPortOpen(false);
    ::unsetenv("KELVRA_COM3");
}

TEST_F(SerialCommTest, DeviceNamesInThePlatformsEncoding) {
    const std::string folder = "/tmp/kelvra-names-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    struct stat device {};
    ASSERT_EQ(::stat(pty.Path().c_str(), &device), 0);
    const std::string symlinked = folder + "/by-id-\xff\xfe";
    ASSERT_EQ(::symlink(pty.Path().c_str(), symlinked.c_str()), 0);
    const std::string node = folder + "/node-\xff";
    const std::string longNode = folder + "/" + std::string(250, 'n');
    const bool nodes = ::mknod(node.c_str(), S_IFCHR | 0600, device.st_rdev) == 0 &&
                       ::mknod(longNode.c_str(), S_IFCHR | 0600, device.st_rdev) == 0;
    const struct {
        std::string path;
        std::string failure;  // empty: it opens
    } cases[] = {
        {symlinked, ""},
        {node, ""},
        {longNode, ": its path is too long for a lock file name"},
    };
    for (const auto& c : cases) {
        if (c.path != symlinked && !nodes) continue;  // making device nodes needs privileges
        SCOPED_TRACE(c.path);
        ::setenv("KELVRA_COM1", c.path.c_str(), 1);
        try {
            comm.SetPortOpen(true);
            EXPECT_TRUE(c.failure.empty());
            EXPECT_EQ(::access(LockPath().c_str(), F_OK), 0) << "every name of the device shares its lock";
            comm.Output({0x42});
            EXPECT_EQ(ReadFar(1), Bytes{0x42});
            comm.SetPortOpen(false);
        } catch (const CommError& e) {
            EXPECT_FALSE(c.failure.empty()) << e.what();
            EXPECT_EQ(std::string(e.what()).find(c.path + c.failure), 0u) << e.what();
        }
    }
    for (const std::string& path : {symlinked, node, longNode}) ::unlink(path.c_str());
    ::rmdir(folder.c_str());
}

// Another program's lock file, in each form serial programs write it, is
// left byte for byte while its process lives and taken over once it has ended.
TEST_F(SerialCommTest, AnotherProgramsLockIsLeftAlone) {
    if (::access("/var/lock", W_OK) != 0) GTEST_SKIP() << "/var/lock cannot be written here";
    const pid_t live = ::getppid();
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    auto ascii = [](pid_t pid, const char* rest) {
        char text[64];
        std::snprintf(text, sizeof text, "%10d%s\n", static_cast<int>(pid), rest);
        return std::string(text);
    };
    auto binary = [](pid_t pid) {
        const std::int32_t value = pid;
        return std::string(reinterpret_cast<const char*>(&value), sizeof value);
    };
    const std::string inUse = ": in use by another program (process " + std::to_string(live) + ")";
    const struct {
        std::string content;
        std::string failure;  // empty: it opens
        // What the lock holds `laterMs` later: a lock being written as the tool reads it.
        std::string later;
        int laterMs = 50;
        // How long ago the lock was last written.
        int ageSeconds = 0;
    } cases[] = {
        {ascii(live, ""), inUse},
        {"", inUse, ascii(live, "")},
        {"", inUse, ascii(live, ""), 300},
        // Empty for seconds: its writer was killed between creating and writing it.
        {"", "", {}, 0, 3},
        // ... taken over at once, not read again and again until another program writes into it.
        {"", "", ascii(live, ""), 1500, 3},
        {ascii(live, ""), inUse, {}, 0, 3600},
        {"4294967297\n", ": its lock file " + LockPath() + " names no process"},
        {ascii(live, " kermit root"), inUse},
        {binary(live), inUse},
        {std::to_string(live) + "\nminicom\nlab-pc\n", inUse},
        {ascii(dead, ""), ""},
        {binary(dead), ""},
        {"garbage\n", ": its lock file " + LockPath() + " names no process"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        FILE* lock = std::fopen(LockPath().c_str(), "wb");
        ASSERT_NE(lock, nullptr);
        std::fwrite(c.content.data(), 1, c.content.size(), lock);
        std::fclose(lock);
        if (c.ageSeconds > 0) {
            const timespec then[2] = {{::time(nullptr) - c.ageSeconds, 0}, {::time(nullptr) - c.ageSeconds, 0}};
            ::utimensat(AT_FDCWD, LockPath().c_str(), then, 0);
        }
        std::thread writer([&] {
            if (c.later.empty()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.laterMs));
            FILE* rest = std::fopen(LockPath().c_str(), "wb");
            std::fwrite(c.later.data(), 1, c.later.size(), rest);
            std::fclose(rest);
        });
        try {
            comm.SetPortOpen(true);
            EXPECT_TRUE(c.failure.empty());
            QFile own(QString::fromStdString(LockPath()));
            EXPECT_TRUE(own.open(QIODevice::ReadOnly));
            EXPECT_TRUE(own.readAll().startsWith(QByteArray::number(::getpid()) + "\n")) << "the lock is this process's";
            comm.SetPortOpen(false);
            EXPECT_NE(::access(LockPath().c_str(), F_OK), 0) << "the stale lock was taken over and let go";
        } catch (const CommError& e) {
            EXPECT_FALSE(c.failure.empty()) << "it does not open: " << e.what();
            EXPECT_EQ(std::string(e.what()).find(pty.Path() + c.failure), 0u) << e.what();
            std::string after(64, '\0');
            FILE* kept = std::fopen(LockPath().c_str(), "rb");
            ASSERT_NE(kept, nullptr);
            after.resize(std::fread(after.data(), 1, after.size(), kept));
            std::fclose(kept);
            EXPECT_EQ(after, c.later.empty() ? c.content : c.later) << "another program's lock is never changed";
        }
        writer.join();
        ::unlink(LockPath().c_str());
    }
}

// Closing removes the lock only while it is still this process's: a lock another program wrote in its
// place meanwhile stays.
// A program that holds the device for itself (TIOCEXCL) and writes no lock file is still named, by
// the process that has the device open. Exclusive use does not hold against root, so as root both
// programs run as nobody.
TEST_F(SerialCommTest, AProgramHoldingTheDeviceWithoutALockIsNamed) {
    const bool root = ::geteuid() == 0;
    // A process that changed its user is not dumpable, so others could not look at its descriptors:
    // made so again, as a program started by that user is.
    auto becomeUser = [root] {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0)) ::_exit(126);
    };
    if (root) ::chmod(pty.Path().c_str(), 0666);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        becomeUser();
        const int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        const bool held = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0;
        (void)!::write(ready[1], held ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(held, 'y');
    // The tool's run, as the same user, its settings in a folder of its own.
    char config[] = "/tmp/kelvra-excl-XXXXXX";
    ASSERT_NE(::mkdtemp(config), nullptr);
    ::chmod(config, 0777);
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    const pid_t run = ::fork();
    if (run == 0) {
        becomeUser();
        ::dup2(err[1], STDERR_FILENO);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::setenv("XDG_CONFIG_HOME", config, 1);
        ::unsetenv("KELVRA_COM1");
        ::execl(KELVRA_NETMON, KELVRA_NETMON, "--run", "off", "--device", pty.Path().c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(err[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<std::size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(run, &status, 0);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::rmdir(config);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
    EXPECT_EQ(said.substr(0, said.find('\n')),
              "kelvra-netmon: " + pty.Path() + ": in use by another program (process " + std::to_string(holder) + ")")
        << said;
}

TEST_F(SerialCommTest, ClosingRemovesOnlyItsOwnLock) {
    if (::access("/var/lock", W_OK) != 0) GTEST_SKIP() << "/var/lock cannot be written here";
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced);
        comm.SetPortOpen(true);
        ASSERT_EQ(::access(LockPath().c_str(), F_OK), 0);
        const std::string foreign = std::to_string(::getppid()) + "\nminicom\nlab-pc\n";
        if (replaced) {
            FILE* lock = std::fopen(LockPath().c_str(), "wb");
            std::fwrite(foreign.data(), 1, foreign.size(), lock);
            std::fclose(lock);
        }
        comm.SetPortOpen(false);
        EXPECT_EQ(::access(LockPath().c_str(), F_OK) == 0, replaced);
        ::unlink(LockPath().c_str());
    }
}

TEST_F(SerialCommTest, ReopensAfterClose) {
    for (int round = 0; round < 3; ++round) {
        comm.SetPortOpen(true);
        WriteFar({static_cast<std::uint8_t>(round)});
        EXPECT_EQ(Receive(1), Bytes{static_cast<std::uint8_t>(round)});
        comm.SetPortOpen(false);
    }
}

TEST_F(SerialCommTest, PseudoTerminalRaisesNoLineEvents) {
    comm.SetPortOpen(true);
    WriteFar({1, 2, 3});
    Receive(3);
    Idle(0.5);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(comm.OutBufferCount(), 0);
}

// Hears what a capture hears: the reads and the quiet after them.
class QuietObserver : public LineObserver {
public:
    void Opened(const std::string&, int, const std::string&) override {}
    void OpenFailed(const std::string&, int, const std::string&) override {}
    void Closed() override {}
    void Written(const Bytes&) override {}
    void Read(const Bytes& bytes) override { said.push_back("read " + BytesToHex(bytes)); }
    void LineQuiet() override { said.push_back("quiet"); }
    void LineEvent(std::int16_t, const std::string&) override {}
    std::vector<std::string> said;
};

// A frame cut short is told as soon as the line has been quiet a moment after the last read, not when
// the next byte comes; bytes that wait unread are not a quiet line.
TEST_F(SerialCommTest, TheLineFallingQuietAfterAReadIsTold) {
    QuietObserver observer;
    comm.SetObserver(&observer);
    comm.SetPortOpen(true);
    Idle(0.3);
    EXPECT_TRUE(observer.said.empty()) << "nothing read, nothing to end";
    WriteFar(HexToBytes("1F0010400004"));
    ASSERT_EQ(Receive(6).size(), 6u);
    WriteFar(HexToBytes("0001"));
    Idle(0.4);
    EXPECT_EQ(observer.said, std::vector<std::string>{"read 1F 00 10 40 00 04"}) << "two bytes wait unread";
    ASSERT_EQ(Receive(2).size(), 2u);
    Idle(0.4);
    EXPECT_EQ(observer.said, (std::vector<std::string>{"read 1F 00 10 40 00 04", "read 00 01", "quiet"}));
    comm.SetPortOpen(false);
    comm.SetObserver(nullptr);
}

TEST_F(SerialCommTest, IdleWaitSleepsAndArrivalWakesIt) {
    comm.SetPortOpen(true);
    const double cpuBefore = CpuSeconds();
    EXPECT_TRUE(Receive(1, 2.0).empty());
    const double cpuUsed = CpuSeconds() - cpuBefore;
    EXPECT_LT(cpuUsed, 0.1) << "a 2-second wait with nothing arriving must not spin";
    WriteFar({0x42});
    EXPECT_EQ(Receive(1), Bytes{0x42});
}

}  // namespace
}  // namespace kelvra
