// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include "tests/support/LinkRig.h"

namespace kelvra::test {

inline ByteString Hex(const char* text) { return HexToBytes(text); }

class LinkFixture : public ::testing::Test, protected LinkRig {
protected:
    // `hex` (spaces allowed) reaches the receive buffer `delay` seconds from now.
    void Arrive(std::string hex, double delay = 0.1) {
        std::erase(hex, ' ');
        line.Deliver(HexToBytes(hex), delay);
    }
    std::string Rx() const { return BytesToHex(link.RxBuffer); }
    std::string Block() const { return BytesToHex(link.CmdBlock); }
};

}  // namespace kelvra::test
