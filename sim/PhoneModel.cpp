// SPDX-License-Identifier: MIT
#include "sim/PhoneModel.h"


#include "link/Frame.h"

namespace kelvra {

const std::vector<FaultName>& FaultNames() {
    using F = PhoneOptions::Fault;
    static const std::vector<FaultName> names{
        {"none", F::None, "a phone that answers every command"},
        {"silent", F::Silent, "nothing comes back, not even the echo"},
        {"no-answer", F::NoAnswer, "the line echoes, the phone never answers"},
        {"no-echo", F::NoEcho, "the phone answers, the line does not echo"},
        {"wrong-echo", F::WrongEcho, "the echo of a command frame has a payload byte changed"},
        {"wrong-ack-echo", F::WrongAckEcho, "the echo of the PC's acknowledgement has another type byte"},
        {"wrong-ack-seq", F::WrongAckSeq, "the acknowledgement carries the wrong sequence number"},
        {"differing-replies", F::DifferingReplies, "the reply copies differ in their sequence byte"},
    };
    return names;
}

PhoneModel::PhoneModel(PhoneOptions options) : options_(std::move(options)) {
    InitLinkSettings(consts_);
    InitLinkConsts(consts_);
}

void PhoneModel::HangUp() {
    input_ = FrameJoiner();
    pendingCommand_.clear();
}

ByteString PhoneModel::Hear(const ByteString& fromPc) {
    using F = PhoneOptions::Fault;
    ByteString answer;
    echo_ = {0, 0};
    if (options_.fault == F::Silent) return answer;
    if (options_.noise && !fromPc.empty()) answer = {0x55, 0x1F, 0xAA};  // stray bytes, one of them a frame id
    if (options_.fault != F::NoEcho) {
        const std::size_t echoStart = answer.size();
        answer.insert(answer.end(), fromPc.begin(), fromPc.end());
        // A command frame's echo loses its last payload byte; an acknowledgement's its type byte.
        const FrameLayout layout(consts_);
        const bool isAck = fromPc.size() == layout.AckLength() && fromPc[layout.TypePos() - 1] == consts_.AckType[0];
        if (options_.fault == F::WrongEcho && fromPc.size() > layout.HeaderLength() + 2)
            answer[echoStart + fromPc.size() - 3] ^= 0x01;
        if (options_.fault == F::WrongAckEcho && isAck) answer[echoStart + layout.TypePos() - 1] ^= 0x01;
        echo_ = {echoStart, answer.size()};
    }
    if (options_.fault != F::NoAnswer) TakeFrames(fromPc, answer);
    return answer;
}

void PhoneModel::TakeFrames(const ByteString& fromPc, ByteString& answer) {
    for (FrameJoiner::Piece& piece : input_.Add(fromPc, 0)) {
        const std::optional<FrameFields> fields = DecodeFrame(piece.bytes);
        if (!fields || !fields->fromPc || !fields->whole) continue;
        ByteString frame = std::move(piece.bytes);
        framesHeard_.push_back(frame);
        if (fields->ack) continue;
        if (options_.answerEveryCopy || frame == pendingCommand_) {
            pendingCommand_.clear();
            Answer(frame, answer);
        } else {
            pendingCommand_ = std::move(frame);
        }
    }
}

void PhoneModel::Answer(const ByteString& command, ByteString& answer) {
    using F = PhoneOptions::Fault;
    const FrameLayout layout(consts_);
    const std::uint8_t commandSeq = command[layout.CommandSeqPos(command[layout.LengthPos() - 1]) - 1];
    const std::uint8_t ackSeq = options_.fault == F::WrongAckSeq ? static_cast<std::uint8_t>(commandSeq + 1) : commandSeq;
    const ByteString ack = M2Frame::Ack(consts_.FrameId, consts_.RxAddr, consts_.AckType, ackSeq);
    answer.insert(answer.end(), ack.begin(), ack.end());

    // The reply carries the command's payload back.
    const ByteString payload(command.begin() + static_cast<std::ptrdiff_t>(layout.PayloadPos() - 1),
                             command.end() - 2);
    ++replySeq_;
    for (int copy = 0; copy < options_.replyCopies; ++copy) {
        const auto seq = static_cast<std::uint8_t>(replySeq_ + (options_.fault == F::DifferingReplies ? copy : 0));
        const ByteString reply = M2Frame::Command(consts_.FrameId, consts_.RxAddr, options_.replyType, payload, seq);
        answer.insert(answer.end(), reply.begin(), reply.end());
    }
}

}  // namespace kelvra
