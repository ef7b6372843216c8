// SPDX-License-Identifier: MIT
#include "link/CommGlobal.h"

#include <stdexcept>

namespace kelvra {

void InitLinkSettings(LinkState& link) {
    link.LocalMode = 0;
    link.ReplyTimeout = 10.0f;
    link.DoubleSend = 1;
    link.CrLf = "\r\n";
}

void InitLinkConsts(LinkState& link) {
    link.FrameId = HexToBytes("1F");
    link.RxAddr = HexToBytes("1000");
    link.TxAddr = HexToBytes("0010");
    link.AckType = HexToBytes("7F");
    link.CmdType = HexToBytes("4000");
    link.LenFieldSize = 1;
}

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

ByteString HexToBytes(std::string_view hex) {
    ByteString bytes;
    bytes.reserve((hex.size() + 1) / 2);
    int value = 0;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const int digit = HexDigit(hex[i]);
        if (digit < 0)
            throw std::invalid_argument("not a hexadecimal digit at position " + std::to_string(i + 1) +
                                        " of \"" + std::string(hex) + "\"");
        value = value * 16 + digit;
        if (i % 2 == 1 || i + 1 == hex.size()) {
            bytes.push_back(static_cast<std::uint8_t>(value));
            value = 0;
        }
    }
    return bytes;
}

std::string BytesToHex(const ByteString& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

}  // namespace kelvra
