// SPDX-License-Identifier: MIT
#pragma once
// The client's side of a telnet session with the COM-PORT-OPTION (RFC 2217):
// data escaped for the wire and unescaped from it, the options negotiated,
// the line set to 9600 8O1 without flow control, the server's answers
// checked, and its line-state notifications turned into line events.
// Plain C++: everything a server sends is untrusted and fed here in any pieces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/SerialComm.h"

namespace kelvra::Telnet {

constexpr std::uint8_t Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250, Se = 240;
constexpr std::uint8_t Binary = 0, SuppressGoAhead = 3, ComPortOption = 44;

// Data for the wire: each 0xFF doubled.
Bytes Escaped(const Bytes& data);
Bytes Command(std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, the payload escaped.
Bytes Subnegotiation(std::uint8_t option, const Bytes& payload);

// What a telnet peer sends, split into data and commands.
class Decoder {
public:
    struct Command {
        std::uint8_t verb = 0;  // Will, Wont, Do, Dont, or Sb for a subnegotiation
        std::uint8_t option = 0;
        Bytes payload;  // a subnegotiation's, unescaped
    };
    // Longer subnegotiations are dropped whole: no option of ours has one so long.
    static constexpr std::size_t MaxPayload = 64;

    // Appends the data bytes of `size` bytes to `data` and the commands to `commands`.
    void Feed(const std::uint8_t* bytes, std::size_t size, Bytes& data, std::vector<Command>& commands);

private:
    enum class State { Data, Command, Verb, SubOption, Sub, SubIac };
    State state_ = State::Data;
    Command current_;
    bool tooLong_ = false;
};

}  // namespace kelvra::Telnet

namespace kelvra::Rfc2217 {

// Client commands; the server answers each with the same code plus 100.
constexpr std::uint8_t SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetControl = 5,
                       NotifyLineState = 6, NotifyModemState = 7, SetLineStateMask = 10, SetModemStateMask = 11,
                       PurgeData = 12, ServerOffset = 100;
constexpr std::uint8_t ParityOdd = 2, NoFlowControl = 1, BreakOn = 5, BreakOff = 6, PurgeReceived = 1;
// Line-state bits reported as line events.
constexpr std::uint8_t LineOverrun = 0x02, LineParity = 0x04, LineFraming = 0x08, LineBreak = 0x10;

class Session {
public:
    // What the client sends first: the options it wants, 9600 baud, 8 data bits,
    // odd parity, 1 stop bit, no flow control, notifications of line faults only,
    // and a purge of what the server received before.
    static Bytes Opening();
    // The break set or cleared on the line.
    static Bytes Break(bool on);

    // Takes what the server sent: data (kept only once the purge is answered,
    // as a local port's input is purged at opening) and its commands.
    void Feed(const std::uint8_t* bytes, std::size_t size);

    // Every setting answered as asked.
    bool Settled() const;
    // Why the server's answers do not give 9600 8O1 ("it set 115200 baud"); empty while they do.
    const std::string& Refusal() const { return refusal_; }
    // Text the server sent before the session was set up ("Port already in use"), at most 200 bytes.
    const std::string& Greeting() const { return greeting_; }

    // Data received since the last call.
    Bytes TakeData();
    // Line events received since the last call (CommEventCode).
    std::vector<std::int16_t> TakeEvents();
    // Answers the client owes the server (refusals of options it does not take).
    Bytes TakeReplies();

private:
    void Answer(const Telnet::Decoder::Command& command);
    void Setting(std::uint8_t code, const Bytes& value);

    Telnet::Decoder decoder_;
    Bytes data_, replies_;
    std::vector<std::int16_t> events_;
    std::string refusal_, greeting_;
    unsigned answered_ = 0;  // bit per setting code answered as asked
};

}  // namespace kelvra::Rfc2217
