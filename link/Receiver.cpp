// SPDX-License-Identifier: MIT
#include "link/Receiver.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "link/Frame.h"

namespace kelvra {

namespace {

// A field the stage needs lies beyond what was received.
class StageFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Byte at a 1-based position.
std::uint8_t At(const ByteString& bytes, std::size_t pos) {
    if (pos == 0 || pos > bytes.size()) throw StageFault("position " + std::to_string(pos) + " not received");
    return bytes[pos - 1];
}

// Up to `count` bytes from a 1-based position; fewer when the bytes end first.
ByteString Mid(const ByteString& bytes, std::size_t pos, std::size_t count) {
    if (pos == 0 || pos > bytes.size()) return {};
    const std::size_t from = pos - 1;
    return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from + std::min(count, bytes.size() - from)));
}

void RemoveFront(ByteString& bytes, std::size_t count) {
    if (bytes.size() < count) throw StageFault("frame incomplete");
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// 1-based position of the first `pattern` in `bytes` at or after 0-based `from`; 0 if none.
std::size_t FindFrom(const ByteString& bytes, const ByteString& pattern, std::size_t from) {
    if (from >= bytes.size()) return 0;
    const auto found = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), pattern.begin(),
                                   pattern.end());
    return found == bytes.end() ? 0 : static_cast<std::size_t>(found - bytes.begin()) + 1;
}

}  // namespace

bool Receiver::Enter(float& timeout) {
    if (timeout == 0.0f) timeout = link_.ReplyTimeout;
    if (!comm_.PortOpen()) {
        port_.TogglePort();
        if (!comm_.PortOpen()) {
            view_.LogLine(PortErrorText);
            return false;
        }
    }
    link_.CmdBlock.clear();
    link_.DataLen = 0;
    return true;
}

template <class Complete>
std::size_t Receiver::Wait(const ByteString& addr, double start, float timeout, Complete&& complete) {
    const double deadline = start + static_cast<double>(timeout);
    const ByteString pattern = FrameStart(link_, addr);
    ByteString& rx = link_.RxBuffer;
    std::size_t frameStart = 0;
    // The front of RxBuffer already known to hold no frame start: bytes are
    // only appended while a stage waits, so each pass searches what is new.
    std::size_t searched = 0;
    std::size_t seen = rx.size();
    // The first pass only takes what is already pending: the bytes a stage
    // needs may all be there, and then no further event will come.
    bool firstPass = true;
    while (runtime_.Timer() < deadline) {
        runtime_.DoEvents(firstPass ? runtime_.Timer() : deadline);
        firstPass = false;
        if (comm_.InBufferCount() != 0) {
            const Bytes received = comm_.Input();
            rx.insert(rx.end(), received.begin(), received.end());
        }
        if (rx.size() < seen) frameStart = searched = 0;  // emptied meanwhile (the port was closed)
        seen = rx.size();
        if (frameStart == 0) {
            frameStart = FindFrom(rx, pattern, searched);
            if (frameStart == 0) {
                searched = rx.size() >= pattern.size() ? rx.size() - pattern.size() + 1 : 0;
                // A flood without a frame start keeps only its newest bytes.
                if (rx.size() > MaxUnframedBytes) {
                    const std::size_t drop = rx.size() - MaxUnframedBytes;
                    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(drop));
                    searched -= std::min(searched, drop);
                    seen = rx.size();
                }
            }
        }
        if (complete(frameStart)) break;
    }
    return frameStart;
}

auto Receiver::HoldsAtLeast(std::size_t expected) const {
    // Counted from the frame's start: stray bytes before it never end the wait.
    return [this, expected](std::size_t frameStart) {
        return frameStart != 0 && link_.RxBuffer.size() - (frameStart - 1) >= expected;
    };
}

template <class Body>
std::int32_t Receiver::Judged(Body&& body) {
    const ByteString cmdType = link_.CmdType;
    const std::int32_t dataLen = link_.DataLen;
    const std::int32_t rxSeq = link_.RxSeq;
    std::int32_t result = 0;
    try {
        result = body();
    } catch (const std::exception&) {
        result = 0;
    }
    // A frame the stage rejects leaves the fields it would have taken as they were.
    if (result == 0) {
        link_.CmdType = cmdType;
        link_.DataLen = dataLen;
        link_.RxSeq = rxSeq;
    }
    return result;
}

bool Receiver::FrameFound(std::size_t frameStart, const char* stageWord) {
    if (link_.RxBuffer.empty()) {
        view_.LogLine(std::string("Null buffer received (") + stageWord + ").");
        return false;
    }
    if (frameStart == 0) {
        view_.LogLine(std::string("Device not responding (") + stageWord + ").");
        return false;
    }
    RemoveFront(link_.RxBuffer, frameStart - 1);
    return true;
}

template <class Complete>
bool Receiver::Receive(const ByteString& addr, float& timeout, const char* stageWord, Complete&& complete) {
    if (!Enter(timeout)) return false;
    const double start = runtime_.Timer();
    return FrameFound(Wait(addr, start, timeout, std::forward<Complete>(complete)), stageWord);
}

std::int32_t Receiver::RecvEcho(const ByteString& payload, float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.CommandLength(payload.size());
        if (!Receive(link_.TxAddr, timeout, "Echo", HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        link_.DataLen = At(rx, layout.LengthPos());
        if (Mid(rx, layout.PayloadPos(), payload.size()) != payload) {
            view_.LogLine("Wrong Echo received.");
            return 0;
        }
        link_.CmdBlock = Mid(rx, layout.PayloadPos(), static_cast<std::size_t>(link_.DataLen));
        RemoveFront(rx, expected);
        return 1;
    });
}

std::int32_t Receiver::RecvAckEcho(float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.AckLength();
        if (!Receive(link_.TxAddr, timeout, "Ack Echo", HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        ByteString type = Mid(rx, layout.TypePos(), layout.ack);
        if (type != link_.AckType) {
            view_.LogLine("Wrong Ack Echo received.");
            return 0;
        }
        link_.CmdBlock = std::move(type);
        RemoveFront(rx, expected);
        return 1;
    });
}

std::int32_t Receiver::RecvAck(float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.AckLength();
        if (!Receive(link_.RxAddr, timeout, "ACK", HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        // Only a frame typed as an acknowledgement has its sequence byte checked.
        if (Mid(rx, layout.TypePos(), layout.ack) == link_.AckType &&
            At(rx, layout.AckSeqPos()) != link_.TxSeq) {
            view_.LogLine("Communication error.");
            return 0;
        }
        link_.CmdBlock = link_.AckType;
        if (rx.size() > expected)
            RemoveFront(rx, expected);
        else
            rx.clear();
        return 1;
    });
}

std::int32_t Receiver::RecvCmdBlock(float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        ByteString& rx = link_.RxBuffer;
        // Waits for three copies' worth of the reply, its length taken from the
        // header as soon as the header is in.
        const bool found = Receive(link_.RxAddr, timeout, "Cmd", [&](std::size_t frameStart) {
            if (frameStart == 0) return false;
            std::size_t expected = 1024;
            if (rx.size() - frameStart > layout.HeaderLength())
                expected = layout.CommandLength(At(rx, frameStart + layout.LengthPos() - 1));
            return rx.size() - (frameStart - 1) >= 3 * expected;
        });
        if (!found) return 0;

        link_.CmdType = Mid(rx, layout.TypePos(), layout.type);
        link_.DataLen = At(rx, layout.LengthPos());
        const auto payloadLength = static_cast<std::size_t>(link_.DataLen);
        link_.RxSeq = At(rx, layout.CommandSeqPos(payloadLength));
        const std::size_t expected = layout.CommandLength(payloadLength);
        link_.CmdBlock = Mid(rx, layout.PayloadPos(), payloadLength);

        const ByteString first = Mid(rx, 1, expected);
        int copies = 0;
        do {
            ++copies;
            RemoveFront(rx, expected);
        } while (rx.size() >= expected && std::equal(first.begin(), first.end(), rx.begin()));
        if (copies >= 2) view_.LogLine(CopiesLineStart + std::to_string(copies) + " command block.");
        return 1;
    });
}

}  // namespace kelvra
