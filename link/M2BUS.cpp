// SPDX-License-Identifier: MIT
#include "link/M2BUS.h"

#include "link/Frame.h"

namespace kelvra {

namespace {
constexpr std::int32_t SeqModulo = 256;
}

void M2Bus::SendCmdFrame(const ByteString& payload) {
    const std::int32_t seq = (link_.TxSeq + 1) % SeqModulo;
    ByteString frame = M2Frame::Command(link_.FrameId, link_.TxAddr, link_.CmdType, payload,
                                        static_cast<std::uint8_t>(seq));
    comm_.SetOutBufferCount(0);
    link_.TxSeq = seq;
    comm_.Output(frame);
}

void M2Bus::SendAckFrame() {
    const ByteString frame =
        M2Frame::Ack(link_.FrameId, link_.TxAddr, link_.AckType, static_cast<std::uint8_t>(link_.RxSeq));
    comm_.SetOutBufferCount(0);
    comm_.Output(frame);
}

std::int32_t M2Bus::SendCommand(std::string_view command) {
    if (!comm_.PortOpen()) {
        port_.TogglePort();
        if (!comm_.PortOpen()) {
            runtime_.MsgBox(Receiver::PortErrorText, MsgButtons::Ok, MsgIcon::Exclamation);
            return 0;
        }
    }
    comm_.SetInBufferCount(0);
    comm_.SetOutBufferCount(0);
    link_.RxBuffer.clear();
    const ByteString payload = HexToBytes(command);

    std::int32_t result = 0;
    ByteString keptReply;
    // A failed exchange leaves the type of later command frames as it was.
    const ByteString cmdType = link_.CmdType;
    // Each stage gets 0, which it turns into ReplyTimeout.
    float timeout = 0.0f;
    [&] {
        if (link_.DoubleSend != 0) {
            // The extra copy only wakes the phone; its frame is repeated below
            // with the same sequence number.
            SendCmdFrame(payload);
            timeout = 0.0f;
            if (!stages_.RecvEcho(payload, timeout)) return;
            link_.TxSeq = (link_.TxSeq + SeqModulo - 1) % SeqModulo;
        }
        SendCmdFrame(payload);
        timeout = 0.0f;
        if (!stages_.RecvEcho(payload, timeout)) return;
        timeout = 0.0f;
        if (!stages_.RecvAck(timeout)) return;
        timeout = 0.0f;
        if (!stages_.RecvCmdBlock(timeout)) return;
        keptReply = link_.CmdBlock;
        SendAckFrame();
        timeout = 0.0f;
        if (stages_.RecvAckEcho(timeout)) result = 1;
    }();
    link_.CmdBlock = std::move(keptReply);
    if (result == 0) link_.CmdType = cmdType;
    return result;
}

}  // namespace kelvra
