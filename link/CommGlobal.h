// SPDX-License-Identifier: MIT
#pragma once
// Declarations shared by the link, the command set and the window: byte
// strings, the M2BUS link state and its start-up values.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "serial/SerialComm.h"

namespace kelvra {

// Frames, payloads, RxBuffer and CmdBlock: 8-bit values, never UI text.
using ByteString = Bytes;

// Why the last step that failed did, as a value: a headless run names it in
// its closing line; the window shows only the log lines and boxes.
struct LinkFailure {
    enum class Stage { Port, Echo, AckEcho, Ack, Reply, Line, Error };
    Stage stage = Stage::Error;
    // The log line or message box that told it, as shown.
    std::string text;
    // The bytes received by then (what a receive stage saw).
    ByteString seen;
    // The serial component's own failure behind it, where it was one: the
    // device it names and the reason apart.
    std::optional<CommError> cause;
};

// `error` as the serial component's own failure, when it is one.
inline std::optional<CommError> CommErrorOf(const std::exception& error) {
    const auto* comm = dynamic_cast<const CommError*>(&error);
    return comm != nullptr ? std::optional<CommError>(*comm) : std::nullopt;
}

// One instance for the whole program: the window owns it and hands it to the link.
struct LinkState {
    // Frame constants, set by InitLinkConsts. CmdType follows the last reply.
    ByteString FrameId;
    ByteString TxAddr;
    ByteString RxAddr;
    ByteString AckType;
    ByteString CmdType;
    std::int32_t LenFieldSize = 0;

    // Link settings, set by InitLinkSettings.
    float ReplyTimeout = 0.0f;
    std::int32_t DoubleSend = 0;
    std::int32_t LocalMode = 0;
    std::string CrLf;

    // Link variables.
    ByteString RxBuffer;
    std::int32_t TxSeq = 0;
    std::int32_t RxSeq = 0;
    std::int32_t DataLen = 0;
    ByteString CmdBlock;

    // The last failure a step reported, for callers that act on the outcome.
    std::optional<LinkFailure> LastFailure;
};

void InitLinkSettings(LinkState& link);
void InitLinkConsts(LinkState& link);

// Two hexadecimal digits per byte, either case; a trailing odd digit makes a
// byte of its own. Throws std::invalid_argument on any other character.
ByteString HexToBytes(std::string_view hex);

// "1F 00 10" style, for traces and test messages.
std::string BytesToHex(const ByteString& bytes);

}  // namespace kelvra
