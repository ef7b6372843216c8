// SPDX-License-Identifier: MIT
#include "record/Pcapng.h"

#include <cstring>

namespace kelvra::Pcapng {

namespace {

template <class T>
void Put(ByteString& out, T value) {
    std::uint8_t raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    for (const std::uint8_t byte : raw) out.push_back(byte);
}

void PutPadded(ByteString& out, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) out.push_back(data[i]);
    out.resize(out.size() + Padded(size) - size, 0);
}

void PutOption(ByteString& out, std::uint16_t code, const std::string& value) {
    Put(out, code);
    Put(out, static_cast<std::uint16_t>(value.size()));
    PutPadded(out, reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
}

// Type, total length, `body`, total length again.
ByteString Block(std::uint32_t type, const ByteString& body) {
    ByteString block;
    const auto length = static_cast<std::uint32_t>(12 + body.size());
    Put(block, type);
    Put(block, length);
    block.insert(block.end(), body.begin(), body.end());
    Put(block, length);
    return block;
}

}  // namespace

ByteString SectionBlock(const std::string& application, const std::string& comment) {
    ByteString body;
    Put(body, ByteOrderMagic);
    Put(body, std::uint16_t{1});
    Put(body, std::uint16_t{0});
    Put(body, ~std::uint64_t{0});  // section length not given
    if (!comment.empty()) PutOption(body, OptComment, comment);
    PutOption(body, ShbUserAppl, application);
    Put(body, EndOfOptions);
    Put(body, std::uint16_t{0});
    return Block(SectionHeaderType, body);
}

ByteString InterfaceBlock(std::uint16_t linkType, const std::string& name, const std::string& description) {
    ByteString body;
    Put(body, linkType);
    Put(body, std::uint16_t{0});
    Put(body, std::uint32_t{0});  // no snapshot length
    PutOption(body, IfName, name);
    PutOption(body, IfDescription, description);
    PutOption(body, IfTsResol, std::string(1, '\x06'));
    Put(body, EndOfOptions);
    Put(body, std::uint16_t{0});
    return Block(InterfaceType, body);
}

ByteString PacketBlock(std::uint32_t interface, std::uint64_t microseconds, const ByteString& data,
                       std::uint32_t flags) {
    ByteString body;
    Put(body, interface);
    Put(body, static_cast<std::uint32_t>(microseconds >> 32));
    Put(body, static_cast<std::uint32_t>(microseconds));
    Put(body, static_cast<std::uint32_t>(data.size()));
    Put(body, static_cast<std::uint32_t>(data.size()));
    PutPadded(body, data.data(), data.size());
    Put(body, EpbFlags);
    Put(body, std::uint16_t{4});
    Put(body, flags);
    Put(body, EndOfOptions);
    Put(body, std::uint16_t{0});
    return Block(EnhancedPacketType, body);
}

}  // namespace kelvra::Pcapng
