// SPDX-License-Identifier: MIT
#include "sim/Replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "link/Frame.h"

namespace kelvra {

namespace {
// A captured gap longer than this is cut to it: the tool would give up waiting anyway.
constexpr double LongestGapSeconds = 10.0;

void Pause(double seconds) {
    seconds = std::min(seconds, LongestGapSeconds);
    if (seconds <= 0) return;
    timespec gap{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    while (::nanosleep(&gap, &gap) != 0) {
    }
}

bool Traffic(const Pcapng::Packet& packet) {
    return !packet.data.empty() && (packet.data[0] == static_cast<std::uint8_t>(LineRecord::Written) ||
                                     packet.data[0] == static_cast<std::uint8_t>(LineRecord::Read));
}
}  // namespace

ReplayPhone::ReplayPhone(const Pcapng::Section& section, bool timing, std::function<void(const ByteString&)> say,
                         std::function<void(const std::string&)> complain)
    : timing_(timing), say_(std::move(say)), complain_(std::move(complain)) {
    for (const Pcapng::Packet& packet : section.packets) {
        if (!Traffic(packet)) continue;
        const auto kind = static_cast<LineRecord>(packet.data[0]);
        const ByteString bytes(packet.data.begin() + 1, packet.data.end());
        steps_.push_back({kind, bytes, packet.time, expected_.size()});
        if (kind != LineRecord::Written) continue;
        // One frame a piece, as the tool's own frames are cut.
        std::size_t begin = 0;
        for (const std::size_t end : FramePieces(bytes)) {
            expected_.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(end));
            begin = end;
        }
    }
}

void ReplayPhone::Check(const ByteString& frame) {
    if (framesHeard_ >= expected_.size())
        complain_("the tool sent " + BytesToHex(frame) + " where the capture has nothing more");
    else if (frame != expected_[framesHeard_])
        complain_("the tool sent " + BytesToHex(frame) + " where the capture has " + BytesToHex(expected_[framesHeard_]));
    ++framesHeard_;
}

void ReplayPhone::Play() {
    for (; next_ < steps_.size(); ++next_) {
        const Step& step = steps_[next_];
        if (step.kind == LineRecord::Written) {
            if (framesHeard_ <= step.written) break;
        } else {
            if (framesHeard_ < step.written) break;
            if (timing_ && before_ != 0 && step.time > before_) Pause(static_cast<double>(step.time - before_) * 1e-6);
            say_(step.bytes);
            ++said_;
        }
        before_ = step.time;
    }
}

ByteString ReplayPhone::Hear(const ByteString& fromPc) {
    for (const FrameJoiner::Piece& piece : heard_.Add(fromPc, 0)) {
        Check(piece.bytes);
        Play();
    }
    return {};
}

namespace {
// A file's bytes for the capture reader: a regular file is read where asked;
// anything else (a pipe, a device) in order, as far as the reader asks.
std::pair<Pcapng::Source, std::uint64_t> OpenCapture(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    const auto owned = std::shared_ptr<int>(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    struct stat info {};
    ::fstat(fd, &info);
    if (S_ISREG(info.st_mode)) {
        return {[owned](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
                    std::size_t got = 0;
                    while (got < n) {
                        const ssize_t r = ::pread(*owned, into + got, n - got, static_cast<off_t>(offset + got));
                        if (r < 0 && errno == EINTR) continue;
                        if (r <= 0) break;
                        got += static_cast<std::size_t>(r);
                    }
                    return got;
                },
                static_cast<std::uint64_t>(info.st_size)};
    }
    auto read = std::make_shared<ByteString>();
    return {[owned, read](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
                std::uint8_t chunk[4096];
                while (read->size() < offset + n && read->size() < Pcapng::MaxBlockLength) {
                    const ssize_t r = ::read(*owned, chunk, sizeof chunk);
                    if (r < 0 && errno == EINTR) continue;
                    if (r <= 0) break;
                    read->insert(read->end(), chunk, chunk + r);
                }
                if (offset >= read->size()) return std::size_t{0};
                n = std::min<std::size_t>(n, read->size() - offset);
                std::memcpy(into, read->data() + offset, n);
                return n;
            },
            Pcapng::MaxBlockLength};
}

std::string Where(std::uint64_t offset, std::uint64_t length) {
    return "at offset " + std::to_string(offset) + " (" + std::to_string(length) + " bytes)";
}
}  // namespace

CapturedSection ReadCapturedSection(const std::string& path, std::size_t wanted) {
    auto [source, size] = OpenCapture(path);
    auto read = [&](const Pcapng::Keep& keep) {
        try {
            Pcapng::Reader reader(source, size);
            return Pcapng::Read(reader, keep);
        } catch (const Pcapng::FormatError& error) {
            throw std::runtime_error(path + ": not a capture of the line: " + error.what());
        }
    };
    // First the sections and which carried traffic, then only the packets of the one to play.
    std::vector<bool> traffic;
    const Pcapng::File outline = read([&traffic](std::size_t section, const Pcapng::Packet& packet) {
        traffic.resize(std::max(traffic.size(), section + 1));
        if (Traffic(packet)) traffic[section] = true;
        return false;
    });
    // A run sharing its file with others continues in later sections of its own: they play as one.
    const std::vector<std::size_t> runOf = Runs(outline.sections);
    const std::size_t runs = runOf.empty() ? 0 : runOf.back() + 1;
    std::vector<bool> runTraffic(runs, false);
    for (std::size_t s = 0; s < runOf.size(); ++s)
        if (s < traffic.size() && traffic[s]) runTraffic[runOf[s]] = true;
    CapturedSection chosen;
    chosen.sections = runs;
    for (const Pcapng::Damage& damage : outline.damaged)
        chosen.notes.push_back(path + ": damaged bytes " + Where(damage.offset, damage.length) + " skipped");
    if (outline.cutTail)
        chosen.notes.push_back(path + ": the last block is cut short " + Where(outline.cutTail->offset, outline.cutTail->length));
    if (wanted == 0) {
        for (std::size_t r = runs; r > 0 && wanted == 0; --r)
            if (runTraffic[r - 1]) wanted = r;
        if (wanted == 0) throw std::runtime_error(path + ": no section carried traffic (" + std::to_string(chosen.sections) + " sections)");
        chosen.notes.push_back("playing section " + std::to_string(wanted) + " of " + std::to_string(chosen.sections) +
                               ", the last that carried traffic");
    }
    if (wanted > chosen.sections)
        throw std::runtime_error(path + " has " + std::to_string(chosen.sections) + " section(s)");
    Pcapng::File played =
        read([&runOf, wanted](std::size_t section, const Pcapng::Packet&) { return runOf.at(section) + 1 == wanted; });
    for (std::size_t s = 0; s < played.sections.size(); ++s) {
        if (runOf.at(s) + 1 != wanted) continue;
        Pcapng::Section& part = played.sections[s];
        if (chosen.section.packets.empty() && chosen.section.interfaces.empty()) {
            chosen.section = std::move(part);
        } else {
            for (Pcapng::Packet& packet : part.packets) chosen.section.packets.push_back(std::move(packet));
            if (part.interfaces.size() > chosen.section.interfaces.size()) chosen.section.interfaces = part.interfaces;
        }
    }
    chosen.number = wanted;
    return chosen;
}

std::vector<std::size_t> Runs(const std::vector<Pcapng::Section>& sections) {
    static const std::string Continued = ", continued";
    std::vector<std::size_t> runOf;
    std::map<std::string, std::size_t> runs;
    std::size_t next = 0;
    for (const Pcapng::Section& section : sections) {
        const std::string& comment = section.comment;
        const bool continues = comment.size() > Continued.size() &&
                               comment.compare(comment.size() - Continued.size(), Continued.size(), Continued) == 0;
        if (continues) {
            if (const auto run = runs.find(comment.substr(0, comment.size() - Continued.size())); run != runs.end()) {
                runOf.push_back(run->second);
                continue;
            }
        }
        if (!comment.empty()) runs[comment] = next;
        runOf.push_back(next++);
    }
    return runOf;
}

}  // namespace kelvra
