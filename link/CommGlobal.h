// SPDX-License-Identifier: MIT
#pragma once
// Declarations shared by the link, the command set and the window: byte
// strings, the M2BUS link state and its start-up values.

#include <cstdint>
#include <string>
#include <string_view>

#include "serial/SerialComm.h"

namespace kelvra {

// Frames, payloads, RxBuffer and CmdBlock: 8-bit values, never UI text.
using ByteString = Bytes;

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
};

void InitLinkSettings(LinkState& link);
void InitLinkConsts(LinkState& link);

// Two hexadecimal digits per byte, either case; a trailing odd digit makes a
// byte of its own. Throws std::invalid_argument on any other character.
ByteString HexToBytes(std::string_view hex);

// "1F 00 10" style, for traces and test messages.
std::string BytesToHex(const ByteString& bytes);

}  // namespace kelvra
