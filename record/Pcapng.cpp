// SPDX-License-Identifier: MIT
#include "record/Pcapng.h"

#include <cstring>

namespace kelvra::Pcapng {

namespace {

constexpr std::uint32_t SectionHeaderType = 0x0A0D0D0A;
constexpr std::uint32_t InterfaceType = 1;
constexpr std::uint32_t EnhancedPacketType = 6;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t EndOfOptions = 0;
constexpr std::uint16_t ShbUserAppl = 4;
constexpr std::uint16_t IfName = 2;
constexpr std::uint16_t IfDescription = 3;
constexpr std::uint16_t IfTsResol = 9;
constexpr std::uint16_t EpbFlags = 2;

std::size_t Padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

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

template <class T>
T Get(const ByteString& bytes, std::size_t at) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

struct Option {
    std::uint16_t code;
    ByteString value;
};

// The options from `at` to `end` of a block.
std::vector<Option> Options(const ByteString& bytes, std::size_t at, std::size_t end) {
    std::vector<Option> options;
    while (at + 4 <= end) {
        const auto code = Get<std::uint16_t>(bytes, at);
        const auto length = Get<std::uint16_t>(bytes, at + 2);
        if (code == EndOfOptions) break;
        if (at + 4 + Padded(length) > end) throw FormatError("an option runs past its block");
        options.push_back({code, ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(at + 4 + length))});
        at += 4 + Padded(length);
    }
    return options;
}

std::string Text(const ByteString& value) { return std::string(value.begin(), value.end()); }

}  // namespace

ByteString SectionBlock(const std::string& application) {
    ByteString body;
    Put(body, ByteOrderMagic);
    Put(body, std::uint16_t{1});
    Put(body, std::uint16_t{0});
    Put(body, ~std::uint64_t{0});  // section length not given
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

File Read(const ByteString& bytes) {
    File file;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 12) {
            file.truncated = true;
            break;
        }
        const auto type = Get<std::uint32_t>(bytes, at);
        const auto length = Get<std::uint32_t>(bytes, at + 4);
        if (length < 12 || length % 4 != 0) throw FormatError("a block length of " + std::to_string(length));
        if (bytes.size() - at < length) {
            file.truncated = true;
            break;
        }
        if (Get<std::uint32_t>(bytes, at + length - 4) != length) throw FormatError("a block's two lengths differ");
        const std::size_t body = at + 8, end = at + length - 4;
        if (type == SectionHeaderType) {
            if (length < 28 || Get<std::uint32_t>(bytes, body) != ByteOrderMagic)
                throw FormatError("not a pcapng section in this byte order");
            Section section;
            for (const Option& option : Options(bytes, body + 16, end))
                if (option.code == ShbUserAppl) section.application = Text(option.value);
            file.sections.push_back(std::move(section));
        } else if (file.sections.empty()) {
            throw FormatError("a block before the first section header");
        } else if (type == InterfaceType) {
            if (length < 20) throw FormatError("an interface block too short");
            Interface interface;
            interface.linkType = Get<std::uint16_t>(bytes, body);
            for (const Option& option : Options(bytes, body + 8, end)) {
                if (option.code == IfName) interface.name = Text(option.value);
                if (option.code == IfDescription) interface.description = Text(option.value);
                if (option.code == IfTsResol && option.value.size() == 1) interface.timeResolution = option.value[0];
            }
            file.sections.back().interfaces.push_back(std::move(interface));
        } else if (type == EnhancedPacketType) {
            if (length < 32) throw FormatError("a packet block too short");
            Packet packet;
            packet.interface = Get<std::uint32_t>(bytes, body);
            if (packet.interface >= file.sections.back().interfaces.size())
                throw FormatError("a packet of an interface not described");
            packet.time = std::uint64_t{Get<std::uint32_t>(bytes, body + 4)} << 32 | Get<std::uint32_t>(bytes, body + 8);
            const auto captured = Get<std::uint32_t>(bytes, body + 12);
            const std::size_t data = body + 20;
            if (data + Padded(captured) > end) throw FormatError("a packet runs past its block");
            packet.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(data),
                               bytes.begin() + static_cast<std::ptrdiff_t>(data + captured));
            for (const Option& option : Options(bytes, data + Padded(captured), end))
                if (option.code == EpbFlags && option.value.size() == 4) packet.flags = Get<std::uint32_t>(option.value, 0);
            file.sections.back().packets.push_back(std::move(packet));
        }
        at += length;
    }
    return file;
}

}  // namespace kelvra::Pcapng
