// SPDX-License-Identifier: MIT
#include "record/LineCapture.h"

#include <algorithm>
#include <chrono>

#include "commands/LineEvents.h"
#include "link/Frame.h"
#include "link/FrameJoiner.h"
#include "link/Runtime.h"
#include "platform/System.h"
#include "record/Pcapng.h"
#include "record/PcapngReader.h"

namespace kelvra {

namespace {

std::uint64_t SystemMicroseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::string Application() { return std::string("kelvra-netmon ") + App::Version; }

std::string AsText(const ByteString& bytes) { return std::string(bytes.begin(), bytes.end()); }

// `device`, a NUL, then `text`.
Bytes Named(const std::string& device, const std::string& text) {
    Bytes named(device.begin(), device.end());
    named.push_back(0);
    named.insert(named.end(), text.begin(), text.end());
    return named;
}

// A record's data: its kind, then its bytes.
Bytes Tagged(LineRecord kind, const Bytes& bytes) {
    Bytes data(bytes.size() + 1, static_cast<std::uint8_t>(kind));
    std::copy(bytes.begin(), bytes.end(), data.begin() + 1);
    return data;
}

}  // namespace

LineCapture::LineCapture(std::string path, std::function<std::uint64_t()> clock, bool waitForReader)
    : file_(std::move(path), "the capture file", AppendFile::Pieces::Blocks, waitForReader), clock_(clock ? std::move(clock) : SystemMicroseconds) {
    if (file_.Regular()) {
        std::string refused;
        // Under the lock, the file's start and end only: a long capture costs no more than a short one.
        file_.Locked([&] {
            const std::uint64_t size = file_.Size();
            const Pcapng::Source source = [this](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
                return file_.Read(offset, into, n);
            };
            try {
                if (size > 0 && size < 4) throw Pcapng::FormatError("too short");
                const Pcapng::Reader start(source, size);
                const auto cut = Pcapng::FindCutTail(source, size);
                // Only what was really read is judged: a failing disk is not a cut tail.
                if (file_.ReadFailure().empty() && cut && file_.CutAt(cut->offset))
                    file_.Note("ended in a block cut short (" + std::to_string(cut->length) + " bytes at offset " +
                               std::to_string(cut->offset) + "), which was taken off");
            } catch (const Pcapng::FormatError&) {
                refused = file_.Path() + ": not a pcapng capture; it is left as it is";
            }
            if (!file_.ReadFailure().empty())
                refused = file_.Path() + ": cannot be read: " + file_.ReadFailure() + "; it is left as it is";
        });
        if (!refused.empty()) throw std::runtime_error(refused);
    }
    run_ = "run of process " + std::to_string(System::ProcessId()) + " from " + std::to_string(clock_());
    Append(Pcapng::SectionBlock(Application(), run_));
}

LineCapture::~LineCapture() { FlushRead(); }

void LineCapture::UseInterface(const std::string& device, int port) {
    const std::string com = "Com" + std::to_string(port);
    const std::string key = device + '\0' + com;
    auto known = interfaces_.find(key);
    if (known == interfaces_.end()) {
        known = interfaces_.emplace(key, static_cast<std::uint32_t>(interfaces_.size())).first;
        const ByteString block = Pcapng::InterfaceBlock(Pcapng::LinkTypeUser0, device, listening_ ? com + ", listened to" : com);
        Append(block);
        interfaceBlocks_.push_back(AsText(block));
    }
    interface_ = known->second;
    current_ = Named(device, com);
}

void LineCapture::Opened(const std::string& device, int port, const std::string& settings) {
    UseInterface(device, port);
    Record(LineRecord::Opened, Named(device, settings + '\0' + FramedMark), clock_());
}

void LineCapture::OpenFailed(const std::string& device, int port, const std::string& reason) {
    UseInterface(device, port);
    Record(LineRecord::OpenFailed, Named(device, reason), clock_());
}

void LineCapture::Closed() {
    FlushRead();
    if (!interfaces_.empty()) Record(LineRecord::Closed, {}, clock_());
}

void LineCapture::Written(const Bytes& bytes) {
    const std::uint64_t now = clock_();
    for (Bytes& piece : FramePieces(bytes)) written_.push_back({std::move(piece), now});
    if (!read_.Holding()) RecordWrittenUntil(now);
}

void LineCapture::Read(const Bytes& bytes) { RecordRead(read_.Add(bytes, clock_())); }

void LineCapture::FlushRead() {
    RecordRead(read_.Flush());
    RecordWrittenUntil(UINT64_MAX);
}

void LineCapture::RecordRead(const std::vector<FrameJoiner::Piece>& pieces) {
    for (const FrameJoiner::Piece& piece : pieces) {
        if (piece.time > 0) RecordWrittenUntil(piece.time - 1);
        Record(LineRecord::Read, piece.bytes, piece.time);
    }
    if (!read_.Holding()) RecordWrittenUntil(UINT64_MAX);
}

void LineCapture::RecordWrittenUntil(std::uint64_t time) {
    std::size_t done = 0;
    for (; done < written_.size() && written_[done].time <= time; ++done)
        Record(LineRecord::Written, written_[done].bytes, written_[done].time);
    written_.erase(written_.begin(), written_.begin() + static_cast<std::ptrdiff_t>(done));
}

void LineCapture::LineEvent(std::int16_t code, const std::string& text) {
    FlushRead();
    const std::string shown = DescribeCommEvent(code, text).text;
    Bytes event{static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>((code >> 8) & 0xFF)};
    event.insert(event.end(), shown.begin(), shown.end());
    Record(LineRecord::LineEvent, event, clock_());
}

void LineCapture::Record(LineRecord kind, const Bytes& bytes, std::uint64_t time) {
    // Nothing passes the line before the port is named, which names the interface.
    if (interfaces_.empty()) return;
    const std::uint32_t direction = kind == LineRecord::Written ? Pcapng::Direction::Outbound
                                    : kind == LineRecord::Read  ? Pcapng::Direction::Inbound
                                                                : 0;
    Append(Pcapng::PacketBlock(interface_, time, Tagged(kind, bytes), direction));
}

void LineCapture::Append(const ByteString& block) {
    // Another run appending to the same file between two of this run's blocks
    // (a rack sharing one capture) starts a section of its own: this run's
    // next block then comes in a section that continues its own, with its
    // interfaces described again in the same order, so every record keeps its
    // run and interface.
    file_.Write(block.data(), block.size(), [this] {
        std::string resumed = AsText(Pcapng::SectionBlock(Application(), run_ + ", continued"));
        for (const std::string& interface : interfaceBlocks_) resumed += interface;
        // A reader that cannot see the section's comment (Wireshark's Lua) learns whose records follow.
        if (!interfaceBlocks_.empty())
            resumed += AsText(Pcapng::PacketBlock(interface_, clock_(), Tagged(LineRecord::Continued, current_), 0));
        return resumed;
    });
}

}  // namespace kelvra
