// SPDX-License-Identifier: MIT
#pragma once
// The phone's side of a captured exchange, played back to the tool: a field
// failure reproduced at the desk.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/LineCapture.h"
#include "record/Pcapng.h"
#include "sim/PhoneModel.h"

namespace kelvra {

class ReplayPhone : public FarEnd {
public:
    // Plays `section` of a capture: each record read from the line (echoes
    // included) is said once the tool has written as many bytes as the
    // capture's written records before it hold, so echoes, acknowledgements
    // and replies come in the captured order; with `timing` after the gap the
    // capture has before it. `say` puts bytes on the line; `complain` hears
    // one line for each record the tool wrote differently.
    ReplayPhone(const Pcapng::Section& section, bool timing, std::function<void(const ByteString&)> say,
                std::function<void(const std::string&)> complain);

    // Says what is due itself (paced as captured); returns nothing.
    ByteString Hear(const ByteString& fromPc) override;
    const std::vector<ByteString>& FramesHeard() const override { return noFrames_; }

    // How many of the capture's records from the line have been said.
    std::size_t RecordsSaid() const { return said_; }

private:
    struct Step {
        LineRecord kind;
        ByteString bytes;
        std::uint64_t time;
        // Where its bytes start among all the capture's written bytes (a written record),
        // or how many written bytes come before it (a read record).
        std::size_t offset;
    };
    void Compare(const Step& written);

    std::vector<Step> steps_;
    std::size_t next_ = 0;
    ByteString heard_;
    std::size_t checked_ = 0;
    std::size_t said_ = 0;
    bool timing_;
    std::function<void(const ByteString&)> say_;
    std::function<void(const std::string&)> complain_;
    std::vector<ByteString> noFrames_;
};

// The capture's sections, read from `path`; throws std::runtime_error naming the file when it cannot be read.
Pcapng::File ReadCapture(const std::string& path);

}  // namespace kelvra
