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

// How the failure lines name each receive stage.
const char* StageWord(LinkFailure::Stage stage) {
    switch (stage) {
    case LinkFailure::Stage::Echo: return "Echo";
    case LinkFailure::Stage::AckEcho: return "Ack Echo";
    case LinkFailure::Stage::Ack: return "ACK";
    default: return "Cmd";
    }
}

}  // namespace

bool Receiver::Failed(Stage stage, std::string line) {
    view_.LogLine(line);
    link_.LastFailure = LinkFailure{stage, std::move(line), link_.RxBuffer, {}};
    return false;
}

bool Receiver::Enter(Stage stage, float& timeout) {
    if (timeout == 0.0f) timeout = link_.ReplyTimeout;
    if (!comm_.PortOpen()) {
        port_.TogglePort();
        if (!comm_.PortOpen()) return Failed(stage, PortErrorText);
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

bool Receiver::FrameFound(std::size_t frameStart, Stage stage) {
    if (link_.RxBuffer.empty()) return Failed(stage, std::string("Null buffer received (") + StageWord(stage) + ").");
    if (frameStart == 0) return Failed(stage, std::string("Device not responding (") + StageWord(stage) + ").");
    RemoveFront(link_.RxBuffer, frameStart - 1);
    return true;
}

template <class Complete>
bool Receiver::Receive(const ByteString& addr, float& timeout, Stage stage, Complete&& complete) {
    if (!Enter(stage, timeout)) return false;
    const double start = runtime_.Timer();
    return FrameFound(Wait(addr, start, timeout, std::forward<Complete>(complete)), stage);
}

std::int32_t Receiver::RecvEcho(const ByteString& payload, float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.CommandLength(payload.size());
        if (!Receive(link_.TxAddr, timeout, Stage::Echo, HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        link_.DataLen = At(rx, layout.LengthPos());
        if (Mid(rx, layout.PayloadPos(), payload.size()) != payload) return Failed(Stage::Echo, "Wrong Echo received.");
        link_.CmdBlock = Mid(rx, layout.PayloadPos(), static_cast<std::size_t>(link_.DataLen));
        RemoveFront(rx, expected);
        return 1;
    });
}

std::int32_t Receiver::RecvAckEcho(float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.AckLength();
        if (!Receive(link_.TxAddr, timeout, Stage::AckEcho, HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        ByteString type = Mid(rx, layout.TypePos(), layout.ack);
        if (type != link_.AckType) return Failed(Stage::AckEcho, "Wrong Ack Echo received.");
        link_.CmdBlock = std::move(type);
        RemoveFront(rx, expected);
        return 1;
    });
}

std::int32_t Receiver::RecvAck(float& timeout) {
    return Judged([&]() -> std::int32_t {
        const FrameLayout layout(link_);
        const std::size_t expected = layout.AckLength();
        if (!Receive(link_.RxAddr, timeout, Stage::Ack, HoldsAtLeast(expected))) return 0;
        ByteString& rx = link_.RxBuffer;
        // Only a frame typed as an acknowledgement has its sequence byte checked.
        if (Mid(rx, layout.TypePos(), layout.ack) == link_.AckType &&
            At(rx, layout.AckSeqPos()) != link_.TxSeq)
            return Failed(Stage::Ack, "Communication error.");
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
        const bool found = Receive(link_.RxAddr, timeout, Stage::Reply, [&](std::size_t frameStart) {
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
