// SPDX-License-Identifier: MIT
#include "link/FrameJoiner.h"

#include <algorithm>

#include "link/Frame.h"

namespace kelvra {

namespace {
// How many bytes at the end of `bytes` could begin a frame start still to be completed.
std::size_t StartPrefixAtEnd(const ByteString& bytes, std::size_t from) {
    static const std::vector<ByteString> starts = FrameStarts();
    for (std::size_t length = std::min<std::size_t>(bytes.size() - from, 2); length > 0; --length)
        for (const ByteString& start : starts)
            if (length < start.size() &&
                std::equal(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(length),
                           bytes.end() - static_cast<std::ptrdiff_t>(length)))
                return length;
    return 0;
}
}  // namespace

std::vector<FrameJoiner::Piece> FrameJoiner::Add(const ByteString& bytes, std::uint64_t time) {
    if (bytes.empty()) return {};
    arrivals_.emplace_back(held_.size(), time);
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    const std::vector<FramePiece> cut = CutFrames(held_);
    const std::size_t lastBegin = cut.size() > 1 ? cut[cut.size() - 2].end : 0;
    std::size_t keep = held_.size();
    if (cut.back().kind == FramePiece::Kind::Partial)
        keep = lastBegin;
    else if (cut.back().kind == FramePiece::Kind::Other)
        keep = held_.size() - StartPrefixAtEnd(held_, lastBegin);
    std::vector<Piece> done;
    auto timeAt = [this](std::size_t offset) {
        auto arrival = std::upper_bound(arrivals_.begin(), arrivals_.end(), offset,
                                        [](std::size_t at, const auto& a) { return at < a.first; });
        return std::prev(arrival)->second;
    };
    std::size_t begin = 0;
    for (const FramePiece& piece : cut) {
        const std::size_t end = std::min(piece.end, keep);
        if (end > begin)
            done.push_back({ByteString(held_.begin() + static_cast<std::ptrdiff_t>(begin),
                                       held_.begin() + static_cast<std::ptrdiff_t>(end)),
                            timeAt(begin), piece.kind != FramePiece::Kind::Other});
        begin = piece.end;
        if (begin >= keep) break;
    }
    // What stays held, with the arrivals its bytes came in.
    const std::uint64_t keptTime = keep < held_.size() ? timeAt(keep) : 0;
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(keep));
    std::vector<std::pair<std::size_t, std::uint64_t>> arrivals;
    if (!held_.empty()) arrivals.emplace_back(0, keptTime);
    for (const auto& [at, when] : arrivals_)
        if (at > keep) arrivals.emplace_back(at - keep, when);
    arrivals_ = std::move(arrivals);
    return done;
}

std::vector<FrameJoiner::Piece> FrameJoiner::Flush() {
    if (held_.empty()) return {};
    const bool frame = DecodeFrame(held_).has_value();
    std::vector<Piece> rest{{std::move(held_), arrivals_.front().second, frame}};
    held_.clear();
    arrivals_.clear();
    return rest;
}

}  // namespace kelvra
