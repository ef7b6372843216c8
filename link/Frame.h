// SPDX-License-Identifier: MIT
#pragma once
// M2BUS frames as values: building, checksums and field positions. Knows
// nothing of the serial line.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/CommGlobal.h"

namespace kelvra {

struct M2Frame {
    // XOR of every byte; appended to a frame it makes the XOR of the whole frame 0.
    static std::uint8_t XorChecksum(const ByteString& bytes);

    // id, addr, type, length byte, payload, seq, checksum. Throws std::length_error
    // for a payload over 255 bytes.
    static ByteString Command(const ByteString& id, const ByteString& addr, const ByteString& type,
                              const ByteString& payload, std::uint8_t seq);
    // id, addr, ack type, seq, checksum.
    static ByteString Ack(const ByteString& id, const ByteString& addr, const ByteString& ackType,
                          std::uint8_t seq);
};

// Field positions (1-based, counted from a frame's FrameId byte) and lengths,
// derived from the widths of the link's frame constants.
struct FrameLayout {
    explicit FrameLayout(const LinkState& link)
        : id(link.FrameId.size()),
          addr(link.RxAddr.size()),
          type(link.CmdType.size()),
          ack(link.AckType.size()),
          lenField(static_cast<std::size_t>(link.LenFieldSize)) {}

    std::size_t id, addr, type, ack, lenField;

    std::size_t TypePos() const { return id + addr + 1; }
    std::size_t AckSeqPos() const { return id + addr + ack + 1; }
    std::size_t LengthPos() const { return id + addr + type + 1; }
    std::size_t HeaderLength() const { return id + addr + type + lenField; }
    std::size_t PayloadPos() const { return HeaderLength() + 1; }
    std::size_t CommandSeqPos(std::size_t payloadLength) const { return HeaderLength() + payloadLength + 1; }
    std::size_t CommandLength(std::size_t payloadLength) const { return HeaderLength() + payloadLength + 2; }
    std::size_t AckLength() const { return id + addr + ack + 2; }
};

// The bytes a frame from `addr` begins with: FrameId followed by the address pair.
ByteString FrameStart(const LinkState& link, const ByteString& addr);

// The frame starts of the PC and of the phone, with the start-up constants.
std::vector<ByteString> FrameStarts();

// Cuts bytes read from or written to the line into frames and the bytes
// around them, with the start-up constants: a frame runs from a frame start
// for the length its header gives (an acknowledgement 6 bytes, other frames 8
// plus their length byte), but no further than the next frame start or the
// end of `bytes`; bytes before, between and after frames make pieces of
// their own. Returns the pieces in order.
std::vector<ByteString> FramePieces(const ByteString& bytes);

// A piece of line bytes as FramePieces cuts them.
struct FramePiece {
    enum class Kind {
        Frame,    // a frame, whole or cut short by the next frame start
        Partial,  // a frame start whose frame runs past the end of the bytes (only ever the last piece)
        Other,    // bytes before, between or after frames
    };
    std::size_t end;
    Kind kind;
};
std::vector<FramePiece> CutFrames(const ByteString& bytes);

// What a frame's bytes say, with the start-up constants. The one decoder of
// frames for every reader of the line (the listener, the capture's readers).
struct FrameFields {
    // From the PC's address pair (TxAddr); otherwise from the phone's (RxAddr).
    bool fromPc = false;
    // An acknowledgement (AckType where command frames have their type); otherwise a
    // command or reply frame with a length byte.
    bool ack = false;
    ByteString type;
    ByteString payload;
    std::optional<std::uint8_t> seq;
    // All the bytes its header promises are there.
    bool whole = false;
    // When whole: its last byte, and what the XOR of the bytes before it makes.
    std::uint8_t checksum = 0;
    std::uint8_t expectedChecksum = 0;
    bool ChecksumGood() const { return whole && checksum == expectedChecksum; }
};
// Nothing when `bytes` do not begin with a frame start.
std::optional<FrameFields> DecodeFrame(const ByteString& bytes);

}  // namespace kelvra
