// SPDX-License-Identifier: MIT
// Device servers: their names, and the telnet COM-PORT-OPTION session fed as a server sends it.
#include <gtest/gtest.h>

#include "serial/PortMap.h"
#include "serial/network/ComPortClient.h"
#include "serial/network/NetworkAddress.h"

namespace kelvra {
namespace {

using namespace Telnet;
using namespace Rfc2217;

TEST(NetworkAddress, NamesOfDeviceServers) {
    struct Case {
        const char* device;
        bool valid;
        NetworkAddress::Scheme scheme;
        const char* host;
        int port;
        const char* hostPort;
    };
    const auto rfc = NetworkAddress::Scheme::Rfc2217, tcp = NetworkAddress::Scheme::Tcp;
    const Case cases[] = {
        {"rfc2217://lab-rack-3.example.net:2217", true, rfc, "lab-rack-3.example.net", 2217, "lab-rack-3.example.net:2217"},
        {"tcp://192.168.1.20:4001", true, tcp, "192.168.1.20", 4001, "192.168.1.20:4001"},
        {"rfc2217://[::1]:7000", true, rfc, "::1", 7000, "[::1]:7000"},
        {"tcp://[fe80::1:2]:65535", true, tcp, "fe80::1:2", 65535, "[fe80::1:2]:65535"},
        {"rfc2217://[2001:DB8::9]:2217", true, rfc, "2001:DB8::9", 2217, "[2001:DB8::9]:2217"},
        {"rfc2217://[::ffff:192.0.2.9]:2217", true, rfc, "::ffff:192.0.2.9", 2217, "[::ffff:192.0.2.9]:2217"},
        {"tcp://[fe80::g]:22", false},
        {"rfc2217://localhost:1", true, rfc, "localhost", 1, "localhost:1"},
        {"rfc2217://host:0", false},
        {"rfc2217://host:65536", false},
        {"rfc2217://host:", false},
        {"rfc2217://host", false},
        {"rfc2217://:2217", false},
        {"tcp://host:22x", false},
        {"tcp://host:+22", false},
        {"tcp://ho st:22", false},
        {"tcp://host/x:22", false},
        {"tcp://-host:22", false},
        {"tcp://::1:22", false},
        {"tcp://[::1:22", false},
        {"tcp://[::1]22", false},
        {"tcp://[host]:22", false},
        {"tcp://[]:22", false},
        {"telnet://host:23", false},
        {"TCP://host:23", false},
        {"/dev/ttyUSB0", false},
    };
    for (const Case& c : cases) {
        const auto address = ParseNetworkAddress(c.device);
        EXPECT_EQ(address.has_value(), c.valid) << c.device;
        if (!c.valid || !address) continue;
        EXPECT_EQ(address->scheme, c.scheme) << c.device;
        EXPECT_EQ(address->host, c.host) << c.device;
        EXPECT_EQ(address->port, c.port) << c.device;
        EXPECT_EQ(address->HostPort(), c.hostPort) << c.device;
    }
}

TEST(NetworkAddress, PlausibleWhereverADeviceIsNamed) {
    const std::pair<const char*, bool> cases[] = {
        {"rfc2217://10.0.0.5:2217", true}, {"tcp://rack:4001", true}, {"tcp://rack", false},
        {"rfc2217://rack:2217\n", false},   {"ftp://rack:21", false},  {"/dev/ttyUSB0", true},
    };
    for (const auto& [device, plausible] : cases) EXPECT_EQ(PlausibleDevice(device), plausible) << device;
}

Bytes Of(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

TEST(TelnetCodec, DataEscapedAndUnescapedWhole) {
    const Bytes frames[] = {Of({0x1E, 0x00, 0x0C, 0xFF, 0x00, 0x01}), Of({0xFF}), Of({0xFF, 0xFF, 0x0D, 0x0A}), Of({})};
    for (const Bytes& frame : frames) {
        const Bytes wire = Escaped(frame);
        // The same bytes whole and one at a time.
        for (bool bytewise : {false, true}) {
            Decoder decoder;
            Bytes data;
            std::vector<Decoder::Command> commands;
            if (bytewise)
                for (std::uint8_t b : wire) decoder.Feed(&b, 1, data, commands);
            else
                decoder.Feed(wire.data(), wire.size(), data, commands);
            EXPECT_EQ(data, frame);
            EXPECT_TRUE(commands.empty());
        }
    }
    EXPECT_EQ(Escaped(Of({0x01, 0xFF, 0x02})), Of({0x01, 0xFF, 0xFF, 0x02}));
}

TEST(TelnetCodec, CommandsAmongData) {
    struct Case {
        const char* what;
        Bytes wire;
        Bytes data;
        std::size_t commands;
    };
    const Case cases[] = {
        {"a negotiation", Of({0x41, Iac, Will, 3, 0x42}), Of({0x41, 0x42}), 1},
        {"a subnegotiation with an escaped FF", Of({Iac, Sb, 44, 106, Iac, Iac, Iac, Se, 0x43}), Of({0x43}), 1},
        {"NOP and GA carry nothing", Of({Iac, 241, 0x44, Iac, 249}), Of({0x44}), 0},
        {"a subnegotiation broken off by a command", Of({Iac, Sb, 44, 1, Iac, Do, 0}), Of({}), 1},
        {"a subnegotiation too long is dropped", [] {
             Bytes b = Of({Iac, Sb, 44});
             b.insert(b.end(), Decoder::MaxPayload + 10, 0x55);
             b.insert(b.end(), {Iac, Se, 0x45});
             return b;
         }(), Of({0x45}), 0},
        {"a cut command waits for its end", Of({0x46, Iac}), Of({0x46}), 0},
    };
    for (const Case& c : cases) {
        Decoder decoder;
        Bytes data;
        std::vector<Decoder::Command> commands;
        decoder.Feed(c.wire.data(), c.wire.size(), data, commands);
        EXPECT_EQ(data, c.data) << c.what;
        EXPECT_EQ(commands.size(), c.commands) << c.what;
    }
}

// A server's answer to a COM-PORT-OPTION command.
Bytes Answer(std::uint8_t code, Bytes value) {
    value.insert(value.begin(), static_cast<std::uint8_t>(code + ServerOffset));
    return Subnegotiation(ComPortOption, value);
}

Bytes GoodAnswers() {
    Bytes wire = Command(Do, ComPortOption);
    for (const Bytes& each : {Answer(SetBaudRate, Of({0, 0, 0x25, 0x80})), Answer(SetDataSize, Of({8})),
                              Answer(SetParity, Of({2})), Answer(SetStopSize, Of({1})), Answer(SetControl, Of({1})),
                              Answer(PurgeData, Of({1}))})
        wire.insert(wire.end(), each.begin(), each.end());
    return wire;
}

void Feed(Session& session, const Bytes& wire) { session.Feed(wire.data(), wire.size()); }

TEST(ComPortSession, OpeningAsksForTheLineSettings) {
    const Bytes opening = Session::Opening();
    auto holds = [&](const Bytes& part) { return std::search(opening.begin(), opening.end(), part.begin(), part.end()) != opening.end(); };
    EXPECT_TRUE(holds(Command(Will, ComPortOption)));
    EXPECT_TRUE(holds(Command(Will, Binary)));
    EXPECT_TRUE(holds(Command(Do, Binary)));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetBaudRate, 0, 0, 0x25, 0x80}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetDataSize, 8}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetParity, ParityOdd}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetStopSize, 1}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetControl, NoFlowControl}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({SetLineStateMask, 0x1E}))));
    EXPECT_TRUE(holds(Subnegotiation(ComPortOption, Of({PurgeData, PurgeReceived}))));
    EXPECT_EQ(Session::Break(true), Subnegotiation(ComPortOption, Of({SetControl, BreakOn})));
    EXPECT_EQ(Session::Break(false), Subnegotiation(ComPortOption, Of({SetControl, BreakOff})));
}

TEST(ComPortSession, SettledOnlyWhenEverySettingIsAnswered) {
    Session session;
    const Bytes answers = GoodAnswers();
    // Every answer but the last one's final byte: not settled yet.
    session.Feed(answers.data(), answers.size() - 1);
    EXPECT_FALSE(session.Settled());
    session.Feed(&answers.back(), 1);
    EXPECT_TRUE(session.Settled());
    EXPECT_TRUE(session.Refusal().empty());
}

TEST(ComPortSession, AnswersOtherThanAskedAreRefusals) {
    struct Case {
        Bytes answer;
        const char* refusal;
    };
    const Case cases[] = {
        {Answer(SetBaudRate, Of({0, 1, 0xC2, 0x00})), "it set 115200 baud instead of 9600"},
        {Answer(SetBaudRate, Of({0x25, 0x80})), "it answered the baud rate malformed"},
        {Answer(SetDataSize, Of({7})), "it set 7 data bits instead of 8"},
        {Answer(SetParity, Of({1})), "it set no parity instead of odd"},
        {Answer(SetParity, Of({3})), "it set even parity instead of odd"},
        {Answer(SetStopSize, Of({2})), "it set 2 stop bits instead of 1"},
        {Answer(SetControl, Of({3})), "it kept flow control on"},
        {Command(Dont, ComPortOption), "it does not take the line settings (no RFC 2217 COM-PORT-OPTION)"},
        {Command(Wont, ComPortOption), "it does not take the line settings (no RFC 2217 COM-PORT-OPTION)"},
    };
    for (const Case& c : cases) {
        Session session;
        Bytes wire = c.answer;
        const Bytes rest = GoodAnswers();
        wire.insert(wire.end(), rest.begin(), rest.end());
        Feed(session, wire);
        EXPECT_EQ(session.Refusal(), c.refusal);
        EXPECT_FALSE(session.Settled()) << c.refusal;
    }
}

TEST(ComPortSession, LaterControlAnswersAreNotChecked) {
    Session session;
    Feed(session, GoodAnswers());
    Feed(session, Answer(SetControl, Of({BreakOn})));
    Feed(session, Answer(SetControl, Of({9})));
    EXPECT_TRUE(session.Settled());
}

TEST(ComPortSession, DataBeforeThePurgeIsTheGreetingAfterItTheLine) {
    Session session;
    Bytes wire = Of({'P', 'o', 'r', 't'});
    const Bytes answers = GoodAnswers();
    wire.insert(wire.end(), answers.begin(), answers.end());
    // A frame with 0xFF as its checksum, in the same piece as the last answer.
    const Bytes frame = Of({0x1F, 0x00, 0x0C, 0x7F, 0x00, 0x01, 0xFF});
    const Bytes escaped = Escaped(frame);
    wire.insert(wire.end(), escaped.begin(), escaped.end());
    Feed(session, wire);
    EXPECT_EQ(session.Greeting(), "Port");
    EXPECT_EQ(session.TakeData(), frame);
    EXPECT_TRUE(session.TakeData().empty());
}

TEST(ComPortSession, LineStateNotificationsAreLineEvents) {
    struct Case {
        std::uint8_t state;
        std::vector<std::int16_t> events;
    };
    const Case cases[] = {
        {LineBreak, {CommEventCode::Break}},
        {LineFraming, {CommEventCode::Frame}},
        {LineParity, {CommEventCode::RxParity}},
        {LineOverrun, {CommEventCode::Overrun}},
        {LineBreak | LineFraming | 0x60, {CommEventCode::Break, CommEventCode::Frame}},
        {0x61, {}},  // data ready and transmitter empty: no fault
    };
    for (const Case& c : cases) {
        Session session;
        Feed(session, GoodAnswers());
        Feed(session, Answer(NotifyLineState, Of({c.state})));
        EXPECT_EQ(session.TakeEvents(), c.events) << int(c.state);
    }
}

TEST(ComPortSession, OptionsOfferedAreTakenOrRefusedOnce) {
    Session session;
    Feed(session, Command(Do, Binary));
    Feed(session, Command(Will, SuppressGoAhead));
    EXPECT_TRUE(session.TakeReplies().empty());
    Feed(session, Command(Do, 1));     // echo
    Feed(session, Command(Will, 24));  // terminal type
    EXPECT_EQ(session.TakeReplies(), Of({Iac, Wont, 1, Iac, Dont, 24}));
    EXPECT_TRUE(session.TakeReplies().empty());
}

}  // namespace
}  // namespace kelvra
