// SPDX-License-Identifier: MIT
#include "link/Frame.h"

#include <algorithm>

#include <stdexcept>
#include <string>

namespace kelvra {

std::uint8_t M2Frame::XorChecksum(const ByteString& bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) sum ^= b;
    return sum;
}

namespace {
ByteString Sealed(ByteString frame) {
    frame.push_back(M2Frame::XorChecksum(frame));
    return frame;
}
}  // namespace

ByteString M2Frame::Command(const ByteString& id, const ByteString& addr, const ByteString& type,
                            const ByteString& payload, std::uint8_t seq) {
    if (payload.size() > 255)
        throw std::length_error("M2BUS payload of " + std::to_string(payload.size()) +
                                " bytes does not fit the one-byte length field");
    ByteString frame;
    frame.reserve(id.size() + addr.size() + type.size() + payload.size() + 3);
    frame.insert(frame.end(), id.begin(), id.end());
    frame.insert(frame.end(), addr.begin(), addr.end());
    frame.insert(frame.end(), type.begin(), type.end());
    frame.push_back(static_cast<std::uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(seq);
    return Sealed(std::move(frame));
}

ByteString M2Frame::Ack(const ByteString& id, const ByteString& addr, const ByteString& ackType,
                        std::uint8_t seq) {
    ByteString frame;
    frame.insert(frame.end(), id.begin(), id.end());
    frame.insert(frame.end(), addr.begin(), addr.end());
    frame.insert(frame.end(), ackType.begin(), ackType.end());
    frame.push_back(seq);
    return Sealed(std::move(frame));
}

ByteString FrameStart(const LinkState& link, const ByteString& addr) {
    ByteString start = link.FrameId;
    start.insert(start.end(), addr.begin(), addr.end());
    return start;
}

std::vector<ByteString> FrameStarts() {
    LinkState link;
    InitLinkConsts(link);
    return {FrameStart(link, link.TxAddr), FrameStart(link, link.RxAddr)};
}

namespace {
const LinkState& StartUpConstants() {
    static const LinkState link = [] {
        LinkState constants;
        InitLinkConsts(constants);
        return constants;
    }();
    return link;
}

bool Begins(const ByteString& bytes, std::size_t at, const ByteString& with) {
    return bytes.size() - at >= with.size() &&
           std::equal(with.begin(), with.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}
}  // namespace

std::vector<FramePiece> CutFrames(const ByteString& bytes) {
    const LinkState& link = StartUpConstants();
    static const std::vector<ByteString> starts = FrameStarts();
    const FrameLayout layout(link);
    const std::size_t size = bytes.size();
    const std::size_t startLength = starts.front().size();
    auto startsAt = [&](std::size_t at) {
        return std::any_of(starts.begin(), starts.end(), [&](const ByteString& start) { return Begins(bytes, at, start); });
    };
    auto nextStart = [&](std::size_t from) {
        while (from < size && !startsAt(from)) ++from;
        return from;
    };
    std::vector<FramePiece> pieces;
    for (std::size_t at = 0; at < size;) {
        const std::size_t next = nextStart(at + 1);
        FramePiece piece{next, FramePiece::Kind::Other};
        if (startsAt(at)) {
            const std::size_t type = at + layout.TypePos() - 1, length = at + layout.LengthPos() - 1;
            // Unknown until the type and length bytes have come.
            std::size_t frameLength = 0;
            if (type + layout.ack <= size && Begins(bytes, type, link.AckType))
                frameLength = layout.AckLength();
            else if (length < size)
                frameLength = layout.CommandLength(bytes[length]);
            const bool runsPast = frameLength == 0 || at + frameLength > size;
            // A start that runs past the frame's last byte (a checksum equal to the
            // frame id) does not cut it: the frame is whole as soon as its last byte
            // comes, however the bytes after it arrive.
            const std::size_t cutAt = next + startLength > at + frameLength ? size : next;
            piece.end = runsPast ? next : at + std::min(frameLength, cutAt - at);
            piece.kind = runsPast && next == size ? FramePiece::Kind::Partial : FramePiece::Kind::Frame;
        }
        pieces.push_back(piece);
        at = piece.end;
    }
    return pieces;
}

std::vector<ByteString> FramePieces(const ByteString& bytes) {
    std::vector<ByteString> pieces;
    std::size_t begin = 0;
    for (const FramePiece& piece : CutFrames(bytes)) {
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                            bytes.begin() + static_cast<std::ptrdiff_t>(piece.end));
        begin = piece.end;
    }
    return pieces;
}

std::optional<FrameFields> DecodeFrame(const ByteString& bytes) {
    const LinkState& link = StartUpConstants();
    const FrameLayout layout(link);
    FrameFields frame;
    if (Begins(bytes, 0, FrameStart(link, link.TxAddr)))
        frame.fromPc = true;
    else if (!Begins(bytes, 0, FrameStart(link, link.RxAddr)))
        return std::nullopt;
    const std::size_t size = bytes.size();
    auto field = [&](std::size_t pos, std::size_t width) {
        const std::size_t from = std::min(pos - 1, size), to = std::min(pos - 1 + width, size);
        return ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
    };
    std::size_t length = 0;
    frame.ack = Begins(bytes, layout.TypePos() - 1, link.AckType);
    if (frame.ack) {
        frame.type = link.AckType;
        length = layout.AckLength();
        if (size >= layout.AckSeqPos()) frame.seq = bytes[layout.AckSeqPos() - 1];
    } else {
        frame.type = field(layout.TypePos(), layout.type);
        if (size < layout.LengthPos()) return frame;
        const std::size_t payloadLength = bytes[layout.LengthPos() - 1];
        length = layout.CommandLength(payloadLength);
        frame.payload = field(layout.PayloadPos(), payloadLength);
        if (size >= layout.CommandSeqPos(payloadLength)) frame.seq = bytes[layout.CommandSeqPos(payloadLength) - 1];
    }
    frame.whole = size >= length;
    if (frame.whole) {
        frame.checksum = bytes[length - 1];
        frame.expectedChecksum = M2Frame::XorChecksum(ByteString(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length - 1)));
    }
    return frame;
}

}  // namespace kelvra
