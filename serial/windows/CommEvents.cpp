// SPDX-License-Identifier: MIT
#include "serial/windows/CommEvents.h"

#include "serial/SerialComm.h"

namespace kelvra::WinComm {

std::vector<std::int16_t> LineEvents(std::uint32_t mask, std::uint32_t errors) {
    namespace C = CommEventCode;
    const struct {
        bool happened;
        std::int16_t code;
    } table[] = {
        {(errors & CeBreak) != 0 || (mask & EvBreak) != 0, C::Break},
        {(errors & CeFrame) != 0, C::Frame},
        {(errors & CeOverrun) != 0, C::Overrun},
        {(errors & CeRxOver) != 0, C::RxOver},
        {(errors & CeRxParity) != 0, C::RxParity},
        {(mask & EvCts) != 0, C::CtsChange},
        {(mask & EvDsr) != 0, C::DsrChange},
        {(mask & EvRlsd) != 0, C::CdChange},
        {(mask & EvRing) != 0, C::Ring},
    };
    std::vector<std::int16_t> events;
    for (const auto& row : table)
        if (row.happened) events.push_back(row.code);
    return events;
}

bool DeviceLost(std::uint32_t error, bool cancelling, bool read, std::uint32_t count) {
    if (cancelling) return false;
    if (error != ErrorSuccess) return true;
    return read && count == 0;
}

}  // namespace kelvra::WinComm
