// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string_view>

#include "link/CommGlobal.h"
#include "link/PortControl.h"
#include "link/Receiver.h"
#include "link/Runtime.h"

namespace kelvra {

// The M2BUS transaction: one command frame out, the phone's acknowledgement and
// reply in, the PC's acknowledgement out, every frame verified by its echo.
class M2Bus {
public:
    M2Bus(LinkState& link, SerialComm& comm, Runtime& runtime, LinkView& view, PortControl& port)
        : link_(link), comm_(comm), runtime_(runtime), stages_(link, comm, runtime, view, port), port_(port) {}

    // Raises TxSeq (255 wraps to 0) and writes the command frame carrying it.
    // Throws std::length_error, writing nothing, for a payload over 255 bytes.
    void SendCmdFrame(const ByteString& payload);
    // Writes the acknowledgement of RxSeq.
    void SendAckFrame();

    // Runs one complete exchange for a command text of hexadecimal digits.
    // Returns 1 on success; afterwards CmdBlock holds the reply payload, or is
    // empty when no reply was taken. Only a successful exchange carries the
    // reply's type bytes into later command frames.
    std::int32_t SendCommand(std::string_view command);

    Receiver& Stages() { return stages_; }

private:
    LinkState& link_;
    SerialComm& comm_;
    Runtime& runtime_;
    Receiver stages_;
    PortControl& port_;
};

}  // namespace kelvra
