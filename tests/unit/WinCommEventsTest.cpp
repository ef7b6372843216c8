// SPDX-License-Identifier: MIT
// What the Windows component makes of what the communications API reports,
// fed as a driver would report it.

#include <gtest/gtest.h>

#include "serial/SerialComm.h"
#include "serial/windows/CommEvents.h"

namespace kelvra {
namespace {

namespace C = CommEventCode;
using namespace WinComm;

TEST(WinCommEvents, EventMasksAndLineErrorsBecomeLineEvents) {
    const struct {
        std::uint32_t mask, errors;
        std::vector<std::int16_t> events;
    } cases[] = {
        {0, 0, {}},
        {EvBreak, 0, {C::Break}},
        {EvErr, CeBreak, {C::Break}},
        {EvBreak, CeBreak, {C::Break}},  // one break, reported both ways
        {EvErr, CeFrame | CeRxParity, {C::Frame, C::RxParity}},
        {EvErr, CeOverrun | CeRxOver, {C::Overrun, C::RxOver}},
        {EvCts | EvDsr | EvRlsd | EvRing, 0, {C::CtsChange, C::DsrChange, C::CdChange, C::Ring}},
    };
    for (const auto& c : cases) EXPECT_EQ(LineEvents(c.mask, c.errors), c.events) << c.mask << " " << c.errors;
}

TEST(WinCommEvents, EveryFailureButTheCancelAskedForIsALostDevice) {
    const struct {
        std::uint32_t error;
        bool cancelling, read;
        std::uint32_t count;
        bool lost;
    } cases[] = {
        {ErrorSuccess, false, true, 5, false},
        {ErrorSuccess, false, true, 0, true},            // a read that ends with nothing: hung up
        {109, false, true, 0, true},                     // ERROR_BROKEN_PIPE: the phone's end closed
        {1167, false, false, 1, true},                   // ERROR_DEVICE_NOT_CONNECTED
        {433, false, false, 1, true},                    // ERROR_NO_SUCH_DEVICE
        {31, false, false, 1, true},                     // ERROR_GEN_FAILURE
        {5, false, false, 1, true},                      // ERROR_ACCESS_DENIED
        {ErrorOperationAborted, false, true, 0, true},   // cancelled by someone else
        {ErrorOperationAborted, true, true, 0, false},   // the cancel of closing
        {109, true, true, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceLost(c.error, c.cancelling, c.read, c.count), c.lost) << c.error << " " << c.cancelling;
}

}  // namespace
}  // namespace kelvra
