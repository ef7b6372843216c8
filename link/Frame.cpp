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

std::vector<std::size_t> FramePieces(const ByteString& bytes) {
    static const LinkState link = [] {
        LinkState constants;
        InitLinkConsts(constants);
        return constants;
    }();
    static const std::vector<ByteString> starts = FrameStarts();
    const FrameLayout layout(link);
    const std::size_t size = bytes.size();
    auto startsAt = [&](std::size_t at) {
        for (const ByteString& start : starts)
            if (size - at >= start.size() && std::equal(start.begin(), start.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at)))
                return true;
        return false;
    };
    auto nextStart = [&](std::size_t from) {
        while (from < size && !startsAt(from)) ++from;
        return from;
    };
    std::vector<std::size_t> ends;
    for (std::size_t at = 0; at < size;) {
        std::size_t end = nextStart(at + 1);
        if (startsAt(at)) {
            const std::size_t type = at + layout.TypePos() - 1, length = at + layout.LengthPos() - 1;
            std::size_t frameLength = size - at;
            if (type + layout.ack <= size &&
                std::equal(link.AckType.begin(), link.AckType.end(), bytes.begin() + static_cast<std::ptrdiff_t>(type)))
                frameLength = layout.AckLength();
            else if (length < size)
                frameLength = layout.CommandLength(bytes[length]);
            end = std::min(end, at + frameLength);
        }
        ends.push_back(end);
        at = end;
    }
    return ends;
}

}  // namespace kelvra
