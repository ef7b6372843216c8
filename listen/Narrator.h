// SPDX-License-Identifier: MIT
#pragma once
// What a listener says of the line, in the order things happened on it: one
// line per frame (stamped with its first byte's time), bytes outside frames
// and line events on lines of their own. Plain C++: the times are given.

#include <functional>
#include <string>

#include "commands/FrameSummaries.h"
#include "link/FrameJoiner.h"

namespace kelvra {

class Narrator {
public:
    // `say` hears each line; none when `say` is empty (the pieces are still counted).
    explicit Narrator(std::function<void(const std::string&)> say) : say_(std::move(say)) {}

    // Bytes read at `ms` milliseconds since listening began.
    void Heard(const Bytes& bytes, long long ms);
    // The line has been quiet for LineQuietSeconds: a frame still held was cut short.
    void Quiet();
    // A line event at `ms`: what it interrupted is told first.
    void Event(const std::string& text, long long ms);
    bool Holding() const { return joiner_.Holding(); }
    // "<n> frames, <n> with a bad checksum, <n> bytes outside frames".
    std::string Totals() const;

private:
    void Tell(const FrameJoiner::Piece& piece);
    void Say(long long ms, const std::string& direction, const std::string& text) const;

    std::function<void(const std::string&)> say_;
    FrameJoiner joiner_;
    FrameSummaries summaries_;
    long long frames_ = 0, badChecksums_ = 0;
    std::size_t stray_ = 0;
};

}  // namespace kelvra
