// SPDX-License-Identifier: MIT
#include "record/LineCapture.h"

#include <chrono>

#include "commands/LineEvents.h"
#include "link/Frame.h"
#include "link/Runtime.h"
#include "record/Pcapng.h"

namespace kelvra {

namespace {

std::uint64_t Microseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

void Write(AppendFile& file, const ByteString& block) { file.Write(block.data(), block.size()); }

}  // namespace

LineCapture::LineCapture(std::string path) : file_(std::move(path), "the capture file") {
    Write(file_, Pcapng::SectionBlock("kelvra-netmon " + std::to_string(App::Major) + "." + std::to_string(App::Minor) +
                                      "." + std::to_string(App::Revision)));
}

void LineCapture::Opened(const std::string& device, int port, const std::string& settings) {
    const std::string com = "Com" + std::to_string(port);
    const std::string key = device + '\0' + com;
    auto known = interfaces_.find(key);
    if (known == interfaces_.end()) {
        known = interfaces_.emplace(key, static_cast<std::uint32_t>(interfaces_.size())).first;
        Write(file_, Pcapng::InterfaceBlock(Pcapng::LinkTypeUser0, device, com));
    }
    interface_ = known->second;
    Bytes named(device.begin(), device.end());
    named.push_back(0);
    named.insert(named.end(), settings.begin(), settings.end());
    Record(LineRecord::Opened, named);
}

void LineCapture::Closed() {
    if (!interfaces_.empty()) Record(LineRecord::Closed, {});
}

void LineCapture::Written(const Bytes& bytes) { Frames(LineRecord::Written, bytes); }

void LineCapture::Read(const Bytes& bytes) { Frames(LineRecord::Read, bytes); }

void LineCapture::LineEvent(std::int16_t code, const std::string& text) {
    const std::string shown = DescribeCommEvent(code, text).text;
    Bytes event{static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>((code >> 8) & 0xFF)};
    event.insert(event.end(), shown.begin(), shown.end());
    Record(LineRecord::LineEvent, event);
}

void LineCapture::Frames(LineRecord kind, const Bytes& bytes) {
    std::size_t begin = 0;
    for (const std::size_t end : FramePieces(bytes)) {
        Record(kind, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(begin), bytes.begin() + static_cast<std::ptrdiff_t>(end)));
        begin = end;
    }
}

void LineCapture::Record(LineRecord kind, const Bytes& bytes) {
    // Nothing passes the line before the port is open, which names the interface.
    if (interfaces_.empty()) return;
    Bytes data;
    data.reserve(bytes.size() + 1);
    data.push_back(static_cast<std::uint8_t>(kind));
    data.insert(data.end(), bytes.begin(), bytes.end());
    const std::uint32_t direction = kind == LineRecord::Written ? Pcapng::Direction::Outbound
                                    : kind == LineRecord::Read  ? Pcapng::Direction::Inbound
                                                                : 0;
    Write(file_, Pcapng::PacketBlock(interface_, Microseconds(), data, direction));
}

}  // namespace kelvra
