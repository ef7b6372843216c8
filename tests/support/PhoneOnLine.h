// SPDX-License-Identifier: MIT
#pragma once

#include "sim/PhoneModel.h"
#include "tests/support/FakeSerial.h"

namespace kelvra::test {

// Puts a phone on the far end of the fake line: what it says comes back
// `latency` seconds after each write.
inline void ConnectPhone(FakeSerial& line, PhoneModel& phone, double latency = 0.02) {
    line.farEnd = [&line, &phone, latency](const Bytes& fromPc) {
        Bytes answer = phone.Hear(fromPc);
        if (!answer.empty()) line.Deliver(std::move(answer), latency);
    };
}

}  // namespace kelvra::test
