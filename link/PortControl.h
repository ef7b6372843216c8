// SPDX-License-Identifier: MIT
#pragma once

#include "link/CommGlobal.h"
#include "link/Runtime.h"

namespace kelvra {

// Opens and closes the serial port, one attempt per call.
class PortControl {
public:
    PortControl(LinkState& link, SerialComm& comm, Runtime& runtime, LinkView& view)
        : link_(link), comm_(comm), runtime_(runtime), view_(view) {}

    // Closes the port if it is open, otherwise opens it. Every step runs even
    // after an earlier one failed; the most recent failure is shown once in a
    // message box instead of the log line.
    void TogglePort();

    static constexpr const char* OpenedLine = "COM port open.";
    static constexpr const char* ClosedLine = "COM port close.";

private:
    LinkState& link_;
    SerialComm& comm_;
    Runtime& runtime_;
    LinkView& view_;
};

}  // namespace kelvra
