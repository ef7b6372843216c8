// SPDX-License-Identifier: MIT
#include "serial/network/ComPortClient.h"

#include <utility>

namespace kelvra::Telnet {

Bytes Escaped(const Bytes& data) {
    Bytes wire;
    wire.reserve(data.size());
    for (std::uint8_t byte : data) {
        wire.push_back(byte);
        if (byte == Iac) wire.push_back(Iac);
    }
    return wire;
}

Bytes Command(std::uint8_t verb, std::uint8_t option) { return {Iac, verb, option}; }

Bytes Subnegotiation(std::uint8_t option, const Bytes& payload) {
    Bytes wire{Iac, Sb, option};
    const Bytes escaped = Escaped(payload);
    wire.insert(wire.end(), escaped.begin(), escaped.end());
    wire.push_back(Iac);
    wire.push_back(Se);
    return wire;
}

void Decoder::Feed(const std::uint8_t* bytes, std::size_t size, Bytes& data, std::vector<Command>& commands) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
        case State::Data:
            if (byte == Iac) state_ = State::Command;
            else data.push_back(byte);
            break;
        case State::Command:
            if (byte == Iac) {
                data.push_back(Iac);
                state_ = State::Data;
            } else if (byte == Will || byte == Wont || byte == Do || byte == Dont) {
                current_ = Command{byte, 0, {}};
                state_ = State::Verb;
            } else if (byte == Sb) {
                current_ = Command{Sb, 0, {}};
                tooLong_ = false;
                state_ = State::SubOption;
            } else {
                state_ = State::Data;  // NOP, GA, a lone SE and the rest carry nothing for a serial line
            }
            break;
        case State::Verb:
            current_.option = byte;
            commands.push_back(current_);
            state_ = State::Data;
            break;
        case State::SubOption:
            current_.option = byte;
            state_ = byte == Iac ? State::SubIac : State::Sub;
            break;
        case State::Sub:
            if (byte == Iac) {
                state_ = State::SubIac;
            } else if (current_.payload.size() < MaxPayload) {
                current_.payload.push_back(byte);
            } else {
                tooLong_ = true;
            }
            break;
        case State::SubIac:
            if (byte == Iac) {
                if (current_.payload.size() < MaxPayload) current_.payload.push_back(Iac);
                else tooLong_ = true;
                state_ = State::Sub;
            } else if (byte == Se) {
                if (!tooLong_) commands.push_back(current_);
                state_ = State::Data;
            } else {
                // IAC and anything but SE or IAC inside a subnegotiation: the subnegotiation is broken
                // off; the byte is read as the command it begins.
                state_ = State::Command;
                --i;
            }
            break;
        }
    }
}

}  // namespace kelvra::Telnet

namespace kelvra::Rfc2217 {

namespace {
using namespace Telnet;

constexpr std::uint32_t BaudRate = 9600;
constexpr std::uint8_t DataSize = 8, StopSize = 1;
constexpr std::uint8_t LineFaults = LineOverrun | LineParity | LineFraming | LineBreak;
constexpr std::size_t GreetingLimit = 200;

constexpr unsigned Bit(std::uint8_t code) { return 1u << code; }
constexpr unsigned AllSettings =
    Bit(SetBaudRate) | Bit(SetDataSize) | Bit(SetParity) | Bit(SetStopSize) | Bit(SetControl) | Bit(PurgeData);

bool OurOption(std::uint8_t option) { return option == Binary || option == SuppressGoAhead || option == ComPortOption; }

Bytes ComPort(std::uint8_t code, Bytes value) {
    value.insert(value.begin(), code);
    return Subnegotiation(ComPortOption, value);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

std::string ParityName(std::uint8_t parity) {
    switch (parity) {
    case 1: return "no";
    case 2: return "odd";
    case 3: return "even";
    case 4: return "mark";
    case 5: return "space";
    default: return "unknown (" + std::to_string(parity) + ")";
    }
}
}  // namespace

Bytes Session::Opening() {
    Bytes wire;
    for (std::uint8_t option : {Binary, SuppressGoAhead}) {
        Append(wire, Command(Will, option));
        Append(wire, Command(Do, option));
    }
    Append(wire, Command(Will, ComPortOption));
    Append(wire, ComPort(SetBaudRate, {BaudRate >> 24, (BaudRate >> 16) & 0xFF, (BaudRate >> 8) & 0xFF, BaudRate & 0xFF}));
    Append(wire, ComPort(SetDataSize, {DataSize}));
    Append(wire, ComPort(SetParity, {ParityOdd}));
    Append(wire, ComPort(SetStopSize, {StopSize}));
    Append(wire, ComPort(SetControl, {NoFlowControl}));
    Append(wire, ComPort(SetLineStateMask, {LineFaults}));
    Append(wire, ComPort(SetModemStateMask, {0}));
    Append(wire, ComPort(PurgeData, {PurgeReceived}));
    return wire;
}

Bytes Session::Break(bool on) { return ComPort(SetControl, {on ? BreakOn : BreakOff}); }

void Session::Feed(const std::uint8_t* bytes, std::size_t size) {
    // A byte at a time, so that data and commands keep their order: data before the purge is
    // answered belongs to the time before the opening.
    Bytes data;
    std::vector<Decoder::Command> commands;
    for (std::size_t i = 0; i < size; ++i) {
        decoder_.Feed(bytes + i, 1, data, commands);
        for (const Decoder::Command& command : commands) Answer(command);
        commands.clear();
        for (std::uint8_t byte : data) {
            if (Settled()) data_.push_back(byte);
            else if (greeting_.size() < GreetingLimit) greeting_.push_back(static_cast<char>(byte));
        }
        data.clear();
    }
}

bool Session::Settled() const { return refusal_.empty() && (answered_ & AllSettings) == AllSettings; }

Bytes Session::TakeData() { return std::exchange(data_, {}); }
std::vector<std::int16_t> Session::TakeEvents() { return std::exchange(events_, {}); }
Bytes Session::TakeReplies() { return std::exchange(replies_, {}); }

void Session::Answer(const Decoder::Command& command) {
    switch (command.verb) {
    case Do:
        if (!OurOption(command.option)) Append(replies_, Telnet::Command(Wont, command.option));
        break;
    case Will:
        if (!OurOption(command.option)) Append(replies_, Telnet::Command(Dont, command.option));
        break;
    case Dont:
    case Wont:
        if (command.option == ComPortOption && refusal_.empty())
            refusal_ = "it does not take the line settings (no RFC 2217 COM-PORT-OPTION)";
        break;
    case Sb:
        if (command.option == ComPortOption && !command.payload.empty() && command.payload[0] > ServerOffset)
            Setting(static_cast<std::uint8_t>(command.payload[0] - ServerOffset),
                    Bytes(command.payload.begin() + 1, command.payload.end()));
        break;
    default:
        break;
    }
}

void Session::Setting(std::uint8_t code, const Bytes& value) {
    auto refuse = [&](const std::string& why) {
        if (refusal_.empty()) refusal_ = why;
    };
    switch (code) {
    case SetBaudRate: {
        if (value.size() != 4) return refuse("it answered the baud rate malformed");
        const std::uint32_t rate = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                                   (std::uint32_t{value[2]} << 8) | value[3];
        if (rate != BaudRate) return refuse("it set " + std::to_string(rate) + " baud instead of 9600");
        break;
    }
    case SetDataSize:
        if (value.size() != 1 || value[0] != DataSize)
            return refuse("it set " + (value.empty() ? std::string("no") : std::to_string(value[0])) +
                          " data bits instead of 8");
        break;
    case SetParity:
        if (value.size() != 1 || value[0] != ParityOdd)
            return refuse("it set " + (value.empty() ? std::string("no") : ParityName(value[0])) +
                          " parity instead of odd");
        break;
    case SetStopSize:
        if (value.size() != 1 || value[0] != StopSize)
            return refuse("it set " + (value.empty() ? std::string("no") : std::to_string(value[0])) +
                          " stop bits instead of 1");
        break;
    case SetControl:
        // Answers to the break and modem-line controls (which a pseudo-terminal behind the server
        // cannot set) carry nothing to check; the first answer is to the flow control.
        if (answered_ & Bit(SetControl)) return;
        if (value.size() != 1 || value[0] != NoFlowControl) return refuse("it kept flow control on");
        break;
    case PurgeData:
        break;
    case NotifyLineState:
        if (value.size() == 1) {
            if (value[0] & LineBreak) events_.push_back(CommEventCode::Break);
            if (value[0] & LineFraming) events_.push_back(CommEventCode::Frame);
            if (value[0] & LineParity) events_.push_back(CommEventCode::RxParity);
            if (value[0] & LineOverrun) events_.push_back(CommEventCode::Overrun);
        }
        return;
    default:
        return;
    }
    answered_ |= Bit(code);
}

}  // namespace kelvra::Rfc2217
