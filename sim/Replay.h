// SPDX-License-Identifier: MIT
#pragma once
// The phone's side of a captured exchange, played back to the tool: a field
// failure reproduced at the desk.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/FrameJoiner.h"
#include "record/LineCapture.h"
#include "record/PcapngReader.h"
#include "sim/PhoneModel.h"

namespace kelvra {

class ReplayPhone : public FarEnd {
public:
    // Plays `section` of a capture: each record read from the line (echoes
    // included) is said once the tool has written as many frames as the
    // capture's written records before it hold, so echoes, acknowledgements
    // and replies come in the captured order; with `timing` after the gap the
    // capture has before it. `say` puts bytes on the line; `complain` hears
    // one line for each frame the tool wrote otherwise than the capture has,
    // as soon as that frame is whole.
    // `pause` waits the seconds given (the real clock's by default, at most 10 s each).
    ReplayPhone(const Pcapng::Section& section, bool timing, std::function<void(const ByteString&)> say,
                std::function<void(const std::string&)> complain, std::function<void(double)> pause = {});

    // Says what is due itself (paced as captured); returns nothing.
    ByteString Hear(const ByteString& fromPc) override;
    const std::vector<ByteString>& FramesHeard() const override { return noFrames_; }
    void HangUp() override { heard_ = FrameJoiner(); }

private:
    struct Step {
        LineRecord kind;
        ByteString bytes;
        std::uint64_t time;
        // How many frames the capture has the tool write before it.
        std::size_t written;
    };
    // Compares a frame the tool wrote with the capture's next one.
    void Check(const ByteString& frame);
    // Says the read records that are due.
    void Play();

    std::vector<Step> steps_;
    std::vector<ByteString> expected_;
    std::size_t next_ = 0;
    FrameJoiner heard_;
    std::size_t framesHeard_ = 0;
    std::uint64_t before_ = 0;
    bool timing_;
    std::function<void(const ByteString&)> say_;
    std::function<void(const std::string&)> complain_;
    std::function<void(double)> pause_;
    std::vector<ByteString> noFrames_;
};

// The section of a capture to replay, and what was found on the way to it.
struct CapturedSection {
    Pcapng::Section section;
    // Its number, from 1, and how many the file holds.
    std::size_t number = 0;
    std::size_t sections = 0;
    // A line for each damaged stretch and a cut tail, and which section plays when none was asked for.
    std::vector<std::string> notes;
};

// The run each section belongs to, counted from 0 in file order: a section
// whose comment says it continues an earlier run ("<run>, continued") is
// that run's; every other section starts one.
class RunCounter {
public:
    // Runs named in comments are remembered so that later sections can continue
    // them; a file naming more is refused rather than held in memory.
    static constexpr std::size_t MaxNamedRuns = 100000;

    // The run of the next section, from its comment. Throws std::length_error past MaxNamedRuns.
    std::size_t Of(const std::string& comment);
    std::size_t Count() const { return next_; }

private:
    std::map<std::string, std::size_t> named_;
    std::size_t next_ = 0;
};

// Reads section `wanted` (from 1) of the capture at `path`, or, when
// `wanted` is 0, the last section that carried traffic (bytes written or
// read). Reads the file block by block, a pipe to its end (kept in a
// temporary file), and keeps only the records of the run it plays. Throws
// std::runtime_error naming the file when it cannot be read, is no capture,
// has no such section, or holds more than the replay keeps (MaxPlayedBytes
// of the run's records, RunCounter::MaxNamedRuns runs).
constexpr std::uint64_t MaxPlayedBytes = 64u << 20;
CapturedSection ReadCapturedSection(const std::string& path, std::size_t wanted);

}  // namespace kelvra
