// SPDX-License-Identifier: MIT
#include "commands/LineEvents.h"

#include "serial/SerialComm.h"

namespace kelvra {

namespace {
using R = CommEventReport;
namespace C = CommEventCode;
constexpr LineEventEntry Entries[] = {
    {C::Send, R::Ignored, "", "Send", false},
    {C::Receive, R::Ignored, "", "Receive", false},
    {C::CtsChange, R::Event, "Change in CTS Detected", "CTS changed", true},
    {C::DsrChange, R::Event, "Change in DSR Detected", "DSR changed", true},
    {C::CdChange, R::Event, "Change in CD Detected", "CD changed", true},
    {C::Ring, R::Event, "The Phone is Ringing", "Ring", true},
    {C::EndOfFile, R::Event, "End of File Detected", "End of file", true},
    {C::Break, R::Event, "Break Received", "Break", false},
    {C::CtsTimeout, R::Error, "CTS Timeout", "CTS timeout", false},
    {C::DsrTimeout, R::Error, "DSR Timeout", "DSR timeout", false},
    {C::Frame, R::Event, "Framing Error", "Framing error", false},
    {C::Overrun, R::Error, "Overrun Error", "Overrun", false},
    {C::CdTimeout, R::Error, "Carrier Detect Timeout", "CD timeout", false},
    {C::RxOver, R::Error, "Receive Buffer Overflow", "Receive buffer overflow", false},
    {C::RxParity, R::Event, "Parity Error", "Parity error", false},
    {C::TxFull, R::Error, "Transmit Buffer Full", "Transmit buffer full", false},
    {C::DeviceLost, R::Error, "", "Device gone", false},
};
}  // namespace

std::span<const LineEventEntry> LineEvents() { return Entries; }

CommEventReport DescribeCommEvent(std::int16_t code, const std::string& componentText) {
    for (const auto& entry : Entries)
        if (entry.code == code && (entry.kind == R::Ignored || *entry.text != '\0')) return {entry.kind, entry.text};
    return {R::Error, componentText.empty() ? "Unknown error or event" : componentText};
}

}  // namespace kelvra
