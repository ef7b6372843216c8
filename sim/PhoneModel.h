// SPDX-License-Identifier: MIT
#pragma once
// A phone on the far end of the M2BUS line: it hears the PC's bytes and says
// what comes back on the shared line, the echo first. The first copy of a
// command frame only wakes it; the repeated copy is answered with an
// acknowledgement carrying the frame's sequence number and the reply.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "link/FrameJoiner.h"
#include "link/CommGlobal.h"

namespace kelvra {

struct PhoneOptions {
    enum class Fault {
        None,
        Silent,        // nothing at all comes back, not even the echo
        NoAnswer,      // the line echoes, but the phone never answers
        NoEcho,        // the phone answers, but the line does not echo
        WrongEcho,     // every echoed frame has one byte changed
        WrongAckEcho,  // the echo of the PC's acknowledgement comes back with another type byte
        WrongAckSeq,   // the acknowledgement carries the wrong sequence number
        DifferingReplies,  // the reply copies differ in their sequence byte
    };
    Fault fault = Fault::None;
    // How many identical copies of the reply are sent.
    int replyCopies = 3;
    // The type bytes of the reply frame.
    ByteString replyType{0x40, 0x00};
    // Stray bytes in front of everything the line carries back.
    bool noise = false;
    // Every copy of a command frame is answered, the first one too.
    bool answerEveryCopy = false;
};

// The faults by the names the command line gives them.
struct FaultName {
    const char* name;
    PhoneOptions::Fault fault;
    const char* meaning;
};
const std::vector<FaultName>& FaultNames();

// The far end of the line, as a server plays it on a pseudo-terminal.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // The PC's bytes in; the bytes the PC then reads from the line out.
    virtual ByteString Hear(const ByteString& fromPc) = 0;
    // Where the line's echo of the PC's bytes stands in the last answer
    // (begin, end); the rest is what the far end said itself.
    virtual std::pair<std::size_t, std::size_t> Echo() const { return {0, 0}; }
    // The PC closed the line.
    virtual void HangUp() {}
    // Every complete frame heard from the PC, in order.
    virtual const std::vector<ByteString>& FramesHeard() const = 0;
};

class PhoneModel : public FarEnd {
public:
    explicit PhoneModel(PhoneOptions options = {});

    ByteString Hear(const ByteString& fromPc) override;
    std::pair<std::size_t, std::size_t> Echo() const override { return echo_; }

    // A frame half heard, or a command waiting for its repeated copy, is
    // forgotten, so that the next client starts afresh.
    void HangUp() override;

    const std::vector<ByteString>& FramesHeard() const override { return framesHeard_; }

private:
    // Takes the PC's whole frames from what it said; stray bytes and frames cut short are dropped.
    void TakeFrames(const ByteString& fromPc, ByteString& answer);
    void Answer(const ByteString& command, ByteString& answer);

    PhoneOptions options_;
    LinkState consts_;
    FrameJoiner input_;
    ByteString pendingCommand_;
    std::vector<ByteString> framesHeard_;
    std::uint8_t replySeq_ = 0;
    std::pair<std::size_t, std::size_t> echo_{0, 0};
};

}  // namespace kelvra
