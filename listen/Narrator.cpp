// SPDX-License-Identifier: MIT
#include "listen/Narrator.h"

#include <cstdio>

namespace kelvra {

void Narrator::Heard(const Bytes& bytes, long long ms) {
    for (const auto& piece : joiner_.Add(bytes, static_cast<std::uint64_t>(ms))) Tell(piece);
}

void Narrator::Quiet() {
    for (const auto& piece : joiner_.Flush()) Tell(piece);
}

void Narrator::Event(const std::string& text, long long ms) {
    Quiet();
    Say(ms, "line event", text);
}

void Narrator::Tell(const FrameJoiner::Piece& piece) {
    const PieceSummary summary = summaries_.Describe(piece.bytes);
    if (summary.frame) {
        ++frames_;
        if (summary.badChecksum) ++badChecksums_;
    } else {
        stray_ += piece.bytes.size();
    }
    Say(static_cast<long long>(piece.time), summary.direction,
        summary.text + (summary.badChecksum ? " [bad checksum]" : "") + "  " + BytesToHex(piece.bytes));
}

std::string Narrator::Totals() const {
    return std::to_string(frames_) + (frames_ == 1 ? " frame, " : " frames, ") + std::to_string(badChecksums_) +
           " with a bad checksum, " + std::to_string(stray_) + (stray_ == 1 ? " byte" : " bytes") + " outside frames";
}

void Narrator::Say(long long ms, const std::string& direction, const std::string& text) const {
    if (!say_) return;
    char head[48];
    std::snprintf(head, sizeof head, "%8lld ms  %-11s  ", ms, direction.c_str());
    say_(head + text);
}

}  // namespace kelvra
