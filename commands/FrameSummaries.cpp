// SPDX-License-Identifier: MIT
#include "commands/FrameSummaries.h"

#include "commands/CmdSets.h"
#include "link/Frame.h"

namespace kelvra {

PieceSummary FrameSummaries::Describe(const ByteString& piece) {
    const auto frame = DecodeFrame(piece);
    if (!frame) return {"line", std::to_string(piece.size()) + (piece.size() == 1 ? " byte" : " bytes") + " outside a frame"};
    PieceSummary summary{frame->fromPc ? "PC to phone" : "phone to PC", {}, true, frame->whole && !frame->ChecksumGood()};
    const std::string seq = frame->seq ? " seq " + std::to_string(*frame->seq) : std::string();
    if (frame->ack) {
        // An acknowledgement, either way, ends the reply copies before it.
        copies_ = 0;
        summary.text = "Ack" + seq;
    } else if (frame->fromPc) {
        const std::string_view name = CommandName(frame->payload);
        summary.text = "Command" + seq + (name.empty() ? std::string() : ": " + std::string(name));
    } else {
        summary.text = "Reply" + seq + " (copy " + std::to_string(++copies_) + ")";
    }
    if (!frame->whole) summary.text += " [cut short]";
    return summary;
}

}  // namespace kelvra
