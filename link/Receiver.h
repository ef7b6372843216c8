// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/CommGlobal.h"
#include "link/PortControl.h"
#include "link/Runtime.h"

namespace kelvra {

// The four receive stages of an M2BUS transaction. Each waits for its frame
// on the shared receive wait, judges it, logs why it failed and returns 1 for
// success, 0 for failure. A timeout of 0 stands for ReplyTimeout and is
// written back. A wait ends early only once its frame is in, counted from the
// frame's start; without a frame start it runs to its deadline. Any fault
// while a stage runs (a field beyond the end of the buffer, an error of the
// serial component) ends it with 0 and no message.
class Receiver {
public:
    Receiver(LinkState& link, SerialComm& comm, Runtime& runtime, LinkView& view, PortControl& port)
        : link_(link), comm_(comm), runtime_(runtime), view_(view), port_(port) {}

    // What the link says when the port cannot be opened (a line here, a box in
    // the transaction), and how the line counting reply copies begins.
    static constexpr const char* PortErrorText = "COM port error !";
    static constexpr const char* CopiesLineStart = "Attention ! Received ";

    // The echo of the command frame just sent with `payload`.
    std::int32_t RecvEcho(const ByteString& payload, float& timeout);
    // The echo of the PC's acknowledgement frame.
    std::int32_t RecvAckEcho(float& timeout);
    // The phone's acknowledgement of the command frame carrying TxSeq.
    std::int32_t RecvAck(float& timeout);
    // The phone's reply; identical copies received back to back are counted.
    std::int32_t RecvCmdBlock(float& timeout);

private:
    using Stage = LinkFailure::Stage;
    // Logs `line` and keeps it as the link's last failure; false.
    bool Failed(Stage stage, std::string line);
    // Entry steps; false (after logging) when the port cannot be opened.
    bool Enter(Stage stage, float& timeout);
    // Polls until `complete(frameStart)` holds or the deadline passes; returns
    // the 1-based start of the first FrameId + `addr` in RxBuffer, 0 if none.
    template <class Complete>
    std::size_t Wait(const ByteString& addr, double start, float timeout, Complete&& complete);
    // The common checks after the wait; on success RxBuffer begins at the frame.
    bool FrameFound(std::size_t frameStart, Stage stage);
    // Entry, wait and the common checks: true when RxBuffer now begins at the
    // frame, false when the stage has failed (and logged why).
    template <class Complete>
    bool Receive(const ByteString& addr, float& timeout, Stage stage, Complete&& complete);
    // The completion rule of the stages that wait for a fixed length.
    auto HoldsAtLeast(std::size_t expected) const;
    // Runs a stage: a fault ends it with 0, and a stage that fails leaves
    // CmdType, DataLen and RxSeq as they were before it.
    template <class Body>
    std::int32_t Judged(Body&& body);

    // What RxBuffer keeps of bytes that hold no frame start.
    static constexpr std::size_t MaxUnframedBytes = 64 * 1024;

    LinkState& link_;
    SerialComm& comm_;
    Runtime& runtime_;
    LinkView& view_;
    PortControl& port_;
};

}  // namespace kelvra
