// SPDX-License-Identifier: MIT
#include "sim/Replay.h"

#include <time.h>

#include <algorithm>
#include <fstream>
#include <iterator>

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
}  // namespace

ReplayPhone::ReplayPhone(const Pcapng::Section& section, bool timing, std::function<void(const ByteString&)> say,
                         std::function<void(const std::string&)> complain)
    : timing_(timing), say_(std::move(say)), complain_(std::move(complain)) {
    std::size_t written = 0;
    for (const Pcapng::Packet& packet : section.packets) {
        if (packet.data.empty()) continue;
        const auto kind = static_cast<LineRecord>(packet.data[0]);
        if (kind != LineRecord::Written && kind != LineRecord::Read) continue;
        ByteString bytes(packet.data.begin() + 1, packet.data.end());
        steps_.push_back({kind, bytes, packet.time, written});
        if (kind == LineRecord::Written) written += bytes.size();
    }
}

void ReplayPhone::Compare(const Step& written) {
    const auto from = heard_.begin() + static_cast<std::ptrdiff_t>(written.offset);
    const ByteString sent(from, from + static_cast<std::ptrdiff_t>(written.bytes.size()));
    if (sent != written.bytes)
        complain_("the tool sent " + BytesToHex(sent) + " where the capture has " + BytesToHex(written.bytes));
}

ByteString ReplayPhone::Hear(const ByteString& fromPc) {
    heard_.insert(heard_.end(), fromPc.begin(), fromPc.end());
    std::uint64_t before = next_ > 0 ? steps_[next_ - 1].time : 0;
    while (next_ < steps_.size()) {
        const Step& step = steps_[next_];
        if (step.kind == LineRecord::Written) {
            if (heard_.size() < step.offset + step.bytes.size()) break;
            Compare(step);
            checked_ = step.offset + step.bytes.size();
        } else {
            if (heard_.size() < step.offset) break;
            if (timing_ && before != 0 && step.time > before) Pause(static_cast<double>(step.time - before) * 1e-6);
            say_(step.bytes);
            ++said_;
        }
        before = step.time;
        ++next_;
    }
    // Bytes the capture has nothing for, once every captured record has been played.
    if (next_ == steps_.size() && heard_.size() > checked_) {
        const ByteString extra(heard_.begin() + static_cast<std::ptrdiff_t>(checked_), heard_.end());
        complain_("the tool sent " + BytesToHex(extra) + " where the capture has nothing more");
        checked_ = heard_.size();
    }
    return {};
}

Pcapng::File ReadCapture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    const ByteString bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        return Pcapng::Read(bytes);
    } catch (const Pcapng::FormatError& error) {
        throw std::runtime_error(path + ": not a capture of the line: " + error.what());
    }
}

}  // namespace kelvra
