// SPDX-License-Identifier: MIT
#include "record/PcapngReader.h"

#include <algorithm>
#include <cstring>

namespace kelvra::Pcapng {

namespace {

// Block types a walk resumes at after damage, besides a section header.
constexpr std::uint32_t KnownTypes[] = {InterfaceType, 2, 3, 4, 5, EnhancedPacketType};
constexpr std::uint32_t SwappedMagic = 0x4D3C2B1A;
// Bytes looked at in one read while searching for the next block after damage.
constexpr std::size_t SearchWindow = 64 * 1024;

std::uint32_t Swap32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint16_t Swap16(std::uint16_t v) { return __builtin_bswap16(v); }

// Values of a block's body in its section's byte order.
class Values {
public:
    Values(const ByteString& bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}
    std::size_t Size() const { return bytes_.size(); }
    std::uint16_t U16(std::size_t at) const {
        std::uint16_t v;
        std::memcpy(&v, bytes_.data() + at, sizeof v);
        return swapped_ ? Swap16(v) : v;
    }
    std::uint32_t U32(std::size_t at) const {
        std::uint32_t v;
        std::memcpy(&v, bytes_.data() + at, sizeof v);
        return swapped_ ? Swap32(v) : v;
    }
    ByteString Bytes(std::size_t at, std::size_t n) const {
        return ByteString(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes_.begin() + static_cast<std::ptrdiff_t>(at + n));
    }

private:
    const ByteString& bytes_;
    bool swapped_;
};

struct Option {
    std::uint16_t code;
    ByteString value;
};

// The options from `at` to the end of a block's body; throws FormatError when one runs past it.
std::vector<Option> Options(const Values& body, std::size_t at) {
    std::vector<Option> options;
    while (at + 4 <= body.Size()) {
        const std::uint16_t code = body.U16(at), length = body.U16(at + 2);
        if (code == EndOfOptions) break;
        if (at + 4 + Padded(length) > body.Size()) throw FormatError("an option runs past its block");
        options.push_back({code, body.Bytes(at + 4, length)});
        at += 4 + Padded(length);
    }
    return options;
}

std::string Text(const ByteString& value) { return std::string(value.begin(), value.end()); }

}  // namespace

Reader::Reader(Source source, std::uint64_t size) : source_(std::move(source)), size_(size) {
    if (size_ == 0) return;
    std::uint8_t first[4] = {};
    const std::size_t n = source_(0, first, sizeof first);
    std::uint32_t shb = SectionHeaderType;
    if (std::memcmp(first, &shb, n) != 0) throw FormatError("it does not begin as a pcapng file");
    // A section header's type without the byte-order magic after its length is no capture; a file
    // cut before the magic is a cut tail.
    std::uint8_t magic[4] = {};
    if (size_ >= 12 && source_(8, magic, 4) == 4) {
        std::uint32_t m;
        std::memcpy(&m, magic, 4);
        if (m != ByteOrderMagic && m != SwappedMagic) throw FormatError("it does not begin as a pcapng file");
    }
}

std::size_t Reader::Fetch(std::uint64_t offset, std::uint8_t* into, std::size_t n) const {
    if (offset >= size_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    if (offset < windowAt_ || offset + n > windowAt_ + window_.size()) {
        // A block's start and end, from the floor on, fit in Wide; the window grows to Moved before
        // it is moved on, keeping the bytes it still needs, so a walk reads each byte once and moves
        // each a few times at most, whatever the damage.
        constexpr std::uint64_t Wide = 2 * std::uint64_t{MaxBlockLength} + SearchWindow;
        constexpr std::uint64_t Moved = Wide + MaxBlockLength;
        const std::uint64_t need = offset + n;
        if (offset < windowAt_ || need > windowAt_ + Moved) {
            const std::uint64_t at = std::min(offset, std::max(floor_, need > Wide ? need - Wide : 0));
            const std::uint64_t held = windowAt_ + window_.size();
            if (at >= windowAt_ && at < held)
                window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(at - windowAt_));
            else
                window_.clear();
            windowAt_ = at;
        }
        const std::uint64_t held = windowAt_ + window_.size();
        if (need > held) {
            const std::uint64_t end = std::min(size_, std::max(need, held + SearchWindow));
            const std::size_t kept = window_.size();
            window_.resize(static_cast<std::size_t>(end - windowAt_));
            window_.resize(kept + source_(held, window_.data() + kept, window_.size() - kept));
        }
        if (need > windowAt_ + window_.size())
            n = offset >= windowAt_ + window_.size() ? 0 : static_cast<std::size_t>(windowAt_ + window_.size() - offset);
    }
    std::memcpy(into, window_.data() + (offset - windowAt_), n);
    return n;
}

std::uint32_t Reader::Get32(std::uint64_t offset, bool swapped) const {
    std::uint32_t v = 0;
    if (Fetch(offset, reinterpret_cast<std::uint8_t*>(&v), sizeof v) != sizeof v) return 0;
    return swapped ? Swap32(v) : v;
}

std::optional<Reader::Block> Reader::WholeAt(std::uint64_t offset, bool& swapped) const {
    if (size_ - offset < 12) return std::nullopt;
    floor_ = offset;
    const std::uint32_t type = Get32(offset, false);
    bool order = swapped;
    if (type == SectionHeaderType) {
        if (size_ - offset < 28) return std::nullopt;
        const std::uint32_t magic = Get32(offset + 8, false);
        if (magic != ByteOrderMagic && magic != SwappedMagic) return std::nullopt;
        order = magic == SwappedMagic;
    }
    // Blocks of other kinds are whole when their lengths agree; the search after damage looks only at known kinds.
    const std::uint32_t length = Get32(offset + 4, order);
    if (length < 12 || length % 4 != 0 || length > MaxBlockLength || length > size_ - offset) return std::nullopt;
    if (Get32(offset + length - 4, order) != length) return std::nullopt;
    swapped = order;
    return Block{offset, order ? Swap32(type) : type, length};
}

std::optional<Reader::Block> Reader::Next() {
    if (at_ >= size_ || cut_) return std::nullopt;
    bool swapped = swapped_;
    if (auto block = WholeAt(at_, swapped)) {
        swapped_ = swapped;
        at_ += block->length;
        return block;
    }
    // Damage: the walk resumes at the next whole block, if the file holds one.
    std::uint8_t window[SearchWindow];
    for (std::uint64_t from = at_ + 1; from + 12 <= size_;) {
        floor_ = from;
        const std::size_t n = Fetch(from, window, SearchWindow);
        if (n < 4) break;
        std::size_t i = 0;
        for (; i + 4 <= n; ++i) {
            std::uint32_t type;
            std::memcpy(&type, window + i, sizeof type);
            const bool candidate =
                type == SectionHeaderType ||
                std::find(std::begin(KnownTypes), std::end(KnownTypes), swapped_ ? Swap32(type) : type) !=
                    std::end(KnownTypes);
            if (!candidate) continue;
            swapped = swapped_;
            if (auto block = WholeAt(from + i, swapped)) {
                damaged_.push_back({at_, from + i - at_});
                swapped_ = swapped;
                at_ = from + i + block->length;
                return block;
            }
        }
        // The last three bytes are looked at again with the next window.
        from += i;
    }
    cut_ = Damage{at_, size_ - at_};
    return std::nullopt;
}

ByteString Reader::Body(const Block& block) const {
    ByteString body(block.length - 12);
    floor_ = block.offset;
    Fetch(block.offset + 8, body.data(), body.size());
    return body;
}

std::optional<Damage> FindCutTail(const Source& source, std::uint64_t size) {
    if (size < 12) return size == 0 ? std::nullopt : std::optional<Damage>(Damage{0, size});
    // The last MaxBlockLength bytes at most, searched back for the end of a whole block.
    const std::uint64_t start = size > MaxBlockLength + 16 ? (size - MaxBlockLength - 16) & ~std::uint64_t{3} : 0;
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(size - start));
    if (source(start, tail.data(), tail.size()) != tail.size()) return std::nullopt;
    auto get = [&](std::uint64_t offset, bool swapped) {
        std::uint32_t v;
        std::memcpy(&v, tail.data() + (offset - start), sizeof v);
        return swapped ? Swap32(v) : v;
    };
    auto known = [](std::uint32_t type) {
        return type == SectionHeaderType ||
               std::find(std::begin(KnownTypes), std::end(KnownTypes), type) != std::end(KnownTypes);
    };
    // A whole block ends at `end` when its trailing length leads back to the same length and a known type.
    auto blockEndsAt = [&](std::uint64_t end, bool& swapped) {
        for (const bool order : {false, true}) {
            const std::uint32_t length = get(end - 4, order);
            if (length < 12 || length % 4 != 0 || length > end - start) continue;
            const std::uint64_t begin = end - length;
            if (get(begin + 4, order) == length && known(get(begin, order))) {
                swapped = order;
                return true;
            }
        }
        return false;
    };
    // Blocks are whole 32-bit words from the file's start: only such offsets can end one.
    for (std::uint64_t end = size & ~std::uint64_t{3}; end >= start + 12; end -= 4) {
        bool swapped = false;
        if (!blockEndsAt(end, swapped)) continue;
        if (end == size) return std::nullopt;
        // What follows is a block cut short only if it begins as one whose length runs past the end;
        // anything else is damage, which is left as it is (the file is not the writer's to cut).
        if (size - end >= 8) {
            std::uint32_t type = get(end, false);
            const std::uint32_t length = get(end + 4, swapped && type != SectionHeaderType);
            if (swapped && type != SectionHeaderType) type = Swap32(type);
            if (!known(type) || length < 12 || length % 4 != 0 || length <= size - end) return std::nullopt;
        }
        return Damage{end, size - end};
    }
    return std::nullopt;
}

File Walk(Reader& reader, const Walker& walker) {
    File file;
    bool inSection = false;
    std::size_t interfaces = 0;
    while (const auto block = reader.Next()) {
        const ByteString bytes = reader.Body(*block);
        const Values body(bytes, reader.Swapped());
        try {
            if (block->type == SectionHeaderType) {
                Section section;
                section.offset = block->offset;
                for (const Option& option : Options(body, 16)) {
                    if (option.code == ShbUserAppl) section.application = Text(option.value);
                    if (option.code == OptComment) section.comment = Text(option.value);
                }
                inSection = true;
                interfaces = 0;
                walker.section(section);
                continue;
            }
            if (!inSection) throw FormatError("a block before the first section header");
            if (block->type == InterfaceType) {
                if (body.Size() < 8) throw FormatError("an interface block too short");
                Interface interface;
                interface.linkType = body.U16(0);
                for (const Option& option : Options(body, 8)) {
                    if (option.code == IfName) interface.name = Text(option.value);
                    if (option.code == IfDescription) interface.description = Text(option.value);
                    if (option.code == IfTsResol && option.value.size() == 1) interface.timeResolution = option.value[0];
                }
                ++interfaces;
                walker.interface(interface);
            } else if (block->type == EnhancedPacketType) {
                if (body.Size() < 20) throw FormatError("a packet block too short");
                Packet packet;
                packet.interface = body.U32(0);
                if (packet.interface >= interfaces) throw FormatError("a packet of an interface not described");
                packet.time = std::uint64_t{body.U32(4)} << 32 | body.U32(8);
                const std::uint32_t captured = body.U32(12);
                if (20 + Padded(captured) > body.Size()) throw FormatError("a packet runs past its block");
                packet.data = body.Bytes(20, captured);
                for (const Option& option : Options(body, 20 + Padded(captured)))
                    if (option.code == EpbFlags && option.value.size() == 4)
                        packet.flags = Values(option.value, reader.Swapped()).U32(0);
                walker.packet(packet);
            }
        } catch (const FormatError&) {
            file.damaged.push_back({block->offset, block->length});
        }
    }
    file.damaged.insert(file.damaged.end(), reader.Damaged().begin(), reader.Damaged().end());
    std::sort(file.damaged.begin(), file.damaged.end(),
              [](const Damage& a, const Damage& b) { return a.offset < b.offset; });
    file.cutTail = reader.CutTail();
    return file;
}

File Read(const ByteString& bytes) {
    Reader reader(
        [&bytes](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
            if (offset >= bytes.size()) return std::size_t{0};
            n = std::min<std::size_t>(n, bytes.size() - offset);
            std::memcpy(into, bytes.data() + offset, n);
            return n;
        },
        bytes.size());
    std::vector<Section> sections;
    File file = Walk(reader, {[&sections](const Section& section) { sections.push_back(section); },
                              [&sections](const Interface& interface) { sections.back().interfaces.push_back(interface); },
                              [&sections](const Packet& packet) { sections.back().packets.push_back(packet); }});
    file.sections = std::move(sections);
    return file;
}

}  // namespace kelvra::Pcapng
