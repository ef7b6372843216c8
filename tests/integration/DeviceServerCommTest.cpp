// SPDX-License-Identifier: MIT
// The network serial component against a scripted RFC 2217 server on 127.0.0.1
// (a thread of the test): what it asks, what it makes of the answers, bytes 0xFF
// both ways, a break reported by the server, and the connection ending.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/QtRuntime.h"
#include "serial/PortMap.h"
#include "serial/network/ComPortClient.h"
#include "serial/network/NetworkSerialComm.h"

namespace kelvra {
namespace {

using namespace Telnet;
using namespace Rfc2217;

Bytes Answer(std::uint8_t code, Bytes value) {
    value.insert(value.begin(), static_cast<std::uint8_t>(code + ServerOffset));
    return Subnegotiation(ComPortOption, value);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Answers(std::uint32_t baud) {
    return Join({Command(Do, ComPortOption),
                 Answer(SetBaudRate, {std::uint8_t(baud >> 24), std::uint8_t(baud >> 16), std::uint8_t(baud >> 8),
                                      std::uint8_t(baud)}),
                 Answer(SetDataSize, {8}), Answer(SetParity, {ParityOdd}), Answer(SetStopSize, {1}),
                 Answer(SetControl, {NoFlowControl}), Answer(PurgeData, {PurgeReceived})});
}

// A socket listening on a port of 127.0.0.1 the system chose, which `address` is set to.
int LoopbackListener(int backlog, sockaddr_in& address) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, backlog);
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    return listener;
}

// One client, served by `script` on its own thread with the connection's descriptor.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int)> script) {
        sockaddr_in address{};
        listener_ = LoopbackListener(1, address);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, script = std::move(script)] {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            client_ = client;
            script(client);
            ::close(client);
        });
    }
    // Ends a script still waiting on its client (a test that failed early), so the thread is joined.
    ~ScriptedServer() {
        if (const int client = client_; client >= 0) ::shutdown(client, SHUT_RDWR);
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    std::string Device() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> client_{-1};
    std::thread thread_;
};

// Reads until `wanted` has come (or the client goes); everything read is kept.
bool ReadUntil(int fd, const Bytes& wanted, Bytes& seen) {
    std::uint8_t buffer[512];
    while (std::search(seen.begin(), seen.end(), wanted.begin(), wanted.end()) == seen.end()) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.insert(seen.end(), buffer, buffer + n);
    }
    return true;
}

void Send(int fd, const Bytes& bytes) { (void)!::write(fd, bytes.data(), bytes.size()); }

const Bytes Purge = Subnegotiation(ComPortOption, {PurgeData, PurgeReceived});

class DeviceServerCommTest : public ::testing::Test {
protected:
    void Open(const std::string& device) {
        ports.SetOption(1, device);
        comm = std::make_unique<NetworkSerialComm>(ports);
        comm->SetOnComm([this] { events.push_back(comm->CommEvent()); });
        comm->SetCommPort(1);
        comm->SetPortOpen(true);
    }
    // Processes events until `done` or `seconds`.
    void Until(const std::function<bool()>& done, double seconds = 5.0) {
        const double deadline = runtime.Timer() + seconds;
        while (!done() && runtime.Timer() < deadline) runtime.DoEvents(deadline);
    }

    QtRuntime runtime;
    PortMap ports;
    std::unique_ptr<NetworkSerialComm> comm;
    std::vector<std::int16_t> events;
};

TEST_F(DeviceServerCommTest, BytesFFPassBothWaysAndABreakIsALineEvent) {
    const Bytes frame{0x1F, 0x00, 0x0C, 0xFF, 0x00, 0x01, 0xFF};
    std::atomic<bool> echoed{false};
    Bytes wire;
    ScriptedServer server([&](int fd) {
        Bytes seen;
        if (!ReadUntil(fd, Purge, seen)) return;
        // Bytes the line carried before the purge was answered are not the phone's answer.
        Send(fd, Join({Bytes{0x55, 0x66}, Answers(9600), Escaped(frame)}));
        seen.clear();
        if (!ReadUntil(fd, Escaped(frame), seen)) return;
        wire = seen;
        echoed = true;
        Send(fd, Answer(NotifyLineState, {LineBreak}));
        ReadUntil(fd, Subnegotiation(ComPortOption, {SetControl, BreakOn}), seen);
        Send(fd, Answer(SetControl, {BreakOn}));
        ReadUntil(fd, {0xEE}, seen);  // until the client leaves
    });
    Open(server.Device());
    Bytes got;
    Until([&] {
        if (comm->InBufferCount() > 0) {
            const Bytes part = comm->Input();
            got.insert(got.end(), part.begin(), part.end());
        }
        return got.size() >= frame.size();
    });
    EXPECT_EQ(got, frame);
    comm->Output(frame);
    Until([&] { return echoed && !events.empty(); });
    EXPECT_EQ(wire, Escaped(frame));
    EXPECT_EQ(events, std::vector<std::int16_t>{CommEventCode::Break});
    comm->SetBreak(true);
    comm->SetPortOpen(false);
}

TEST_F(DeviceServerCommTest, AnswersOtherThanAskedEndTheOpenNamingTheServer) {
    ScriptedServer server([](int fd) {
        Bytes seen;
        if (ReadUntil(fd, Purge, seen)) Send(fd, Answers(115200));
        ReadUntil(fd, {0xEE}, seen);
    });
    try {
        Open(server.Device());
        FAIL() << "opened a line the server set to 115200 baud";
    } catch (const CommError& failure) {
        const std::string hostPort = server.Device().substr(10);
        EXPECT_EQ(std::string(failure.what()), server.Device() + ": " + hostPort +
                                                    " refused the line settings 9600 8O1: it set 115200 baud instead of 9600");
    }
    EXPECT_FALSE(comm->PortOpen());
}

// Hears the bytes written, as a capture does.
class WrittenBytes : public LineObserver {
public:
    void Opened(const std::string&, int, const std::string&) override {}
    void OpenFailed(const std::string&, int, const std::string&) override {}
    void Closed() override {}
    void Written(const Bytes& more) override { bytes.insert(bytes.end(), more.begin(), more.end()); }
    void Read(const Bytes&) override {}
    void LineQuiet() override {}
    void LineEvent(std::int16_t, const std::string&) override {}
    Bytes bytes;
};

TEST_F(DeviceServerCommTest, TheConnectionEndingIsTheDeviceGone) {
    std::atomic<bool> end{false};
    ScriptedServer server([&](int fd) {
        Bytes seen;
        if (!ReadUntil(fd, Purge, seen)) return;
        Send(fd, Join({Answers(9600), Bytes{0x42}}));
        // Until told to end the connection, or the client has left (a failed open).
        for (int waited = 0; !end && waited < 2000; ++waited) {
            pollfd client{fd, POLLIN, 0};
            std::uint8_t byte = 0;
            if (::poll(&client, 1, 5) == 1 && ::read(fd, &byte, 1) <= 0) break;
        }
    });
    Open(server.Device());
    Until([&] { return comm->InBufferCount() > 0; });
    EXPECT_EQ(comm->Input(), Bytes{0x42});
    end = true;
    Until([&] { return !events.empty(); });
    ASSERT_EQ(events, std::vector<std::int16_t>{CommEventCode::DeviceLost});
    EXPECT_EQ(comm->CommEventText(), server.Device() + ": the device is gone");
    EXPECT_THROW(comm->Input(), CommError);
    // Bytes for the device that has gone are dropped: no record says they passed the line.
    WrittenBytes written;
    comm->SetObserver(&written);
    comm->Output({0x01});
    EXPECT_EQ(written.bytes, Bytes{});
    comm->SetObserver(nullptr);
    comm->SetPortOpen(false);
}

TEST_F(DeviceServerCommTest, AFlushDropsWhatHasComeReadOrNot) {
    std::atomic<bool> sent{false};
    ScriptedServer server([&](int fd) {
        Bytes seen;
        if (!ReadUntil(fd, Purge, seen)) return;
        Send(fd, Answers(9600));
        ReadUntil(fd, {0x01}, seen);
        Send(fd, {0x10, 0x20, 0x30});
        // In the client's socket buffer once acknowledged: a loaded machine may deliver loopback bytes later.
        for (int unacknowledged = 1; ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0;)
            std::this_thread::yield();
        sent = true;
        ReadUntil(fd, {0xEE}, seen);
    });
    Open(server.Device());
    comm->Output({0x01});
    while (!sent) std::this_thread::yield();
    // No event processed since the bytes came: they are still the system's.
    comm->SetInBufferCount(0);
    Until([&] { return false; }, 0.2);
    EXPECT_EQ(comm->InBufferCount(), 0);
    EXPECT_EQ(comm->Input(), Bytes{});
    comm->SetPortOpen(false);
}

TEST_F(DeviceServerCommTest, AConnectionStillBeingMadeIsWaitedForUntilTheRunEndsOrTheTimeIsUp) {
    // A server whose queue of connections is full: the handshake is not answered and connecting waits.
    sockaddr_in address{};
    const int listener = LoopbackListener(0, address);
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const std::string hostPort = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ports.SetOption(1, "rfc2217://" + hostPort);
    const struct {
        int looksBeforeTheEnd;  // 0: the run does not end
        std::string failure;
    } cases[] = {
        {3, "not opened, the run is ending"},
        // Not a time-out of the first step of the wait: the whole time.
        {0, "cannot connect to " + hostPort + ": no answer within 1.5 s"},
    };
    for (const auto& c : cases) {
        comm = std::make_unique<NetworkSerialComm>(ports);
        int looked = 0;
        comm->SetInterrupted([&] { return c.looksBeforeTheEnd > 0 && ++looked > c.looksBeforeTheEnd; });
        try {
            comm->SetPortOpen(true);
            ADD_FAILURE() << "opened through a connection never made";
        } catch (const CommError& failure) {
            EXPECT_EQ(std::string(failure.what()), ports.Device(1) + ": " + c.failure);
        }
    }
    for (int fd : queued) ::close(fd);
    ::close(listener);
}

}  // namespace
}  // namespace kelvra
