// SPDX-License-Identifier: MIT
#pragma once
// What the Windows communications API reports of a line, in the component's
// own terms: plain C++, so that it is tested on any platform. The Win32
// values are repeated here; the Windows build checks them against windows.h.

#include <cstdint>
#include <vector>

namespace kelvra::WinComm {

// WaitCommEvent's mask bits.
constexpr std::uint32_t EvCts = 0x0008, EvDsr = 0x0010, EvRlsd = 0x0020, EvBreak = 0x0040, EvErr = 0x0080,
                        EvRing = 0x0100;
// ClearCommError's error bits.
constexpr std::uint32_t CeRxOver = 0x0001, CeOverrun = 0x0002, CeRxParity = 0x0004, CeFrame = 0x0008,
                        CeBreak = 0x0010;
// GetLastError's codes that the component tells apart.
constexpr std::uint32_t ErrorSuccess = 0, ErrorOperationAborted = 995;

// The line events (CommEventCode) an ended WaitCommEvent and the errors
// ClearCommError gave report, in the order the component reports them.
std::vector<std::int16_t> LineEvents(std::uint32_t mask, std::uint32_t errors);

// Whether a read, write or event wait that ended with `error` (and, for a
// read, `count` bytes) means the device went away: any failure but the
// cancel the component itself asked for while closing, and a read that ends
// with nothing (the line hung up).
bool DeviceLost(std::uint32_t error, bool cancelling, bool read = false, std::uint32_t count = 1);

}  // namespace kelvra::WinComm
