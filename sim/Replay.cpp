// SPDX-License-Identifier: MIT
#include "sim/Replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "link/Frame.h"

namespace kelvra {

namespace {
// A captured gap longer than this is cut to it: the tool would give up waiting anyway.
constexpr double LongestGapSeconds = 10.0;

void Pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, LongestGapSeconds)));
}

bool Traffic(const Pcapng::Packet& packet) {
    return !packet.data.empty() && (packet.data[0] == static_cast<std::uint8_t>(LineRecord::Written) ||
                                     packet.data[0] == static_cast<std::uint8_t>(LineRecord::Read));
}
}  // namespace

ReplayPhone::ReplayPhone(const Pcapng::Section& section, bool timing, std::function<void(const ByteString&)> say,
                         std::function<void(const std::string&)> complain, std::function<void(double)> pause)
    : timing_(timing), say_(std::move(say)), complain_(std::move(complain)), pause_(pause ? std::move(pause) : Pause) {
    for (const Pcapng::Packet& packet : section.packets) {
        if (!Traffic(packet)) continue;
        const auto kind = static_cast<LineRecord>(packet.data[0]);
        const ByteString bytes(packet.data.begin() + 1, packet.data.end());
        steps_.push_back({kind, bytes, packet.time, expected_.size()});
        if (kind != LineRecord::Written) continue;
        // One frame a piece, as the tool's own frames are cut.
        for (ByteString& piece : FramePieces(bytes)) expected_.push_back(std::move(piece));
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
            if (timing_ && before_ != 0 && step.time > before_) pause_(static_cast<double>(step.time - before_) * 1e-6);
            say_(step.bytes);
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
// What a pipe may bring before the replay gives up reading it.
constexpr std::uint64_t MaxSpooledBytes = 4ull << 30;

std::size_t ReadAt(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, into + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// A file's bytes for the capture reader, read where asked. Anything but a
// regular file (a pipe, `<(...)`, a device) is first read to its end into an
// unnamed temporary file, so that it is read whole and as often as needed.
std::pair<Pcapng::Source, std::uint64_t> OpenCapture(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    struct stat info {};
    ::fstat(fd, &info);
    if (!S_ISREG(info.st_mode)) {
        std::FILE* spool = std::tmpfile();
        const int copy = spool != nullptr ? ::dup(::fileno(spool)) : -1;
        const int spoolError = errno;
        if (spool != nullptr) std::fclose(spool);
        auto fail = [&](const std::string& why) {
            ::close(fd);
            if (copy >= 0) ::close(copy);
            throw std::runtime_error(path + why);
        };
        if (copy < 0) fail(std::string(": no room to read it: ") + std::strerror(spoolError));
        std::uint8_t chunk[64 * 1024];
        for (std::uint64_t spooled = 0;;) {
            ssize_t r = ::read(fd, chunk, sizeof chunk);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) fail(std::string(": cannot be read: ") + std::strerror(errno));
            // What is no capture from its first bytes on (a device that never ends) is not read on.
            if (spooled == 0 && r > 0 && r < 4) {
                const ssize_t more = ::read(fd, chunk + r, static_cast<std::size_t>(4 - r));
                if (more > 0) r += more;
            }
            if (spooled == 0 && r >= 4 && std::memcmp(chunk, "\x0A\x0D\x0D\x0A", 4) != 0)
                fail(": not a capture of the line: it does not begin as a pcapng file");
            if (r == 0) break;
            if ((spooled += static_cast<std::uint64_t>(r)) > MaxSpooledBytes)
                fail(": more than " + std::to_string(MaxSpooledBytes >> 30) +
                     " GiB come through it; give the replay the file itself");
            if (::write(copy, chunk, static_cast<std::size_t>(r)) != r)
                fail(std::string(": no room to read it: ") + std::strerror(errno));
        }
        ::close(fd);
        fd = copy;
        ::fstat(fd, &info);
    }
    const auto owned = std::shared_ptr<int>(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    return {[owned](std::uint64_t offset, std::uint8_t* into, std::size_t n) { return ReadAt(*owned, offset, into, n); },
            static_cast<std::uint64_t>(info.st_size)};
}

std::string Where(std::uint64_t offset, std::uint64_t length) {
    return "at offset " + std::to_string(offset) + " (" + std::to_string(length) + " bytes)";
}
}  // namespace

CapturedSection ReadCapturedSection(const std::string& path, std::size_t wanted) {
    auto [source, size] = OpenCapture(path);
    auto walk = [&](const Pcapng::Walker& walker) {
        try {
            Pcapng::Reader reader(source, size);
            return Pcapng::Walk(reader, walker);
        } catch (const Pcapng::FormatError& error) {
            throw std::runtime_error(path + ": not a capture of the line: " + error.what());
        } catch (const std::length_error& error) {
            throw std::runtime_error(path + ": " + error.what() + "; the replay does not play it");
        }
    };
    // First which runs carried traffic, keeping nothing else; then only the records of the run to play.
    std::vector<bool> runTraffic;
    std::size_t current = 0;
    RunCounter outlineRuns;
    const Pcapng::File outline = walk({[&](const Pcapng::Section& section) {
                                           current = outlineRuns.Of(section.comment);
                                           runTraffic.resize(outlineRuns.Count(), false);
                                       },
                                       [](const Pcapng::Interface&) {},
                                       [&](const Pcapng::Packet& packet) {
                                           if (Traffic(packet)) runTraffic[current] = true;
                                       }});
    const std::size_t runs = outlineRuns.Count();
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
    // A run continued in later sections plays as one: their records in order, the interfaces of its
    // fullest section (each continued section describes the run's interfaces again, in the same order).
    RunCounter playedRuns;
    bool playing = false, first = true;
    std::vector<Pcapng::Interface> interfaces;
    std::uint64_t kept = 0;
    walk({[&](const Pcapng::Section& section) {
              playing = playedRuns.Of(section.comment) + 1 == wanted;
              if (playing && first) chosen.section = section;
              if (playing) first = false;
              interfaces.clear();
          },
          [&](const Pcapng::Interface& interface) {
              if (!playing) return;
              interfaces.push_back(interface);
              if (interfaces.size() > chosen.section.interfaces.size()) chosen.section.interfaces = interfaces;
          },
          [&](const Pcapng::Packet& packet) {
              if (!playing) return;
              kept += packet.data.size() + sizeof packet;
              if (kept > MaxPlayedBytes)
                  throw std::length_error("section " + std::to_string(wanted) + " holds more than " +
                                          std::to_string(MaxPlayedBytes >> 20) + " MiB of records");
              chosen.section.packets.push_back(packet);
          }});
    chosen.number = wanted;
    return chosen;
}

std::size_t RunCounter::Of(const std::string& comment) {
    static const std::string Continued = ", continued";
    const bool continues = comment.size() > Continued.size() &&
                           comment.compare(comment.size() - Continued.size(), Continued.size(), Continued) == 0;
    if (continues)
        if (const auto run = named_.find(comment.substr(0, comment.size() - Continued.size())); run != named_.end())
            return run->second;
    if (!comment.empty()) {
        if (named_.size() >= MaxNamedRuns)
            throw std::length_error("it names more than " + std::to_string(MaxNamedRuns) + " runs");
        named_[comment] = next_;
    }
    return next_++;
}

}  // namespace kelvra
