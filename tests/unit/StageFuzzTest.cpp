// SPDX-License-Identifier: MIT
// Random, mutated and truncated input through every receive stage and whole
// transactions: no stage may read outside a buffer (the sanitizer build
// checks), and every one must end by its deadline.

#include <random>

#include "tests/support/LinkFixture.h"

namespace kelvra::test {
namespace {

const ByteString Payload = Hex("00016401");
// The whole line of a successful exchange after the repeated command frame:
// its echo, the ack, three replies and the echo of the PC's ack.
const ByteString ValidLine = Hex(
    "1F00104000040001640101" "2E" "1F10007F0171"
    "1F1000400004000164010" "1" "71" "1F1000400004000164010" "1" "71" "1F1000400004000164010" "1" "71"
    "1F00107F0171");

class StageFuzzTest : public LinkFixture {
protected:
    // Delivers `bytes` in random chunks at random times within the first 12 seconds.
    void Scatter(const ByteString& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t chunk = std::min<std::size_t>(1 + random() % 40, bytes.size() - at);
            line.Deliver(ByteString(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + chunk)),
                         static_cast<double>(random() % 12000) / 1000.0);
            at += chunk;
        }
    }
    ByteString Noise(std::size_t size) {
        ByteString bytes(size);
        // Mostly bytes that start or resemble frames, so that searches get real work.
        const std::uint8_t likely[] = {0x1F, 0x10, 0x00, 0x7F, 0x40, 0x04, 0xFF};
        for (auto& b : bytes) b = random() % 3 ? likely[random() % std::size(likely)] : static_cast<std::uint8_t>(random());
        return bytes;
    }
    ByteString Mutated(ByteString bytes) {
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < edits && !bytes.empty(); ++i) {
            const std::size_t at = random() % bytes.size();
            switch (random() % 3) {
            case 0: bytes[at] = static_cast<std::uint8_t>(random()); break;
            case 1: bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at)); break;
            default: bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random()));
            }
        }
        return bytes;
    }
    // Runs one stage on a fresh buffer and checks that it ends in time.
    void RunStage(int stage) {
        link.RxBuffer.clear();
        link.TxSeq = 1;
        link.CmdType = Hex("4000");
        float timeout = 0.0f;
        const double start = runtime.now;
        std::int32_t result = 0;
        switch (stage) {
        case 0: result = stages.RecvEcho(Payload, timeout); break;
        case 1: result = stages.RecvAck(timeout); break;
        case 2: result = stages.RecvCmdBlock(timeout); break;
        default: result = stages.RecvAckEcho(timeout); break;
        }
        EXPECT_TRUE(result == 0 || result == 1);
        EXPECT_LE(runtime.now, start + 10.0 + 1e-9) << "stage " << stage << " overran its deadline";
        EXPECT_EQ(link.CmdType.size(), 2u);
        // Whatever was not delivered in time must not leak into the next case.
        while (!runtime.Idle()) runtime.DoEvents(runtime.now + 100.0);
        line.inBuffer.clear();
    }

    std::mt19937 random{20261207};
};

TEST_F(StageFuzzTest, ValidLineCutAtEveryPosition) {
    for (std::size_t cut = 0; cut <= ValidLine.size(); ++cut)
        for (int stage = 0; stage < 4; ++stage) {
            Scatter(ByteString(ValidLine.begin(), ValidLine.begin() + static_cast<std::ptrdiff_t>(cut)));
            RunStage(stage);
        }
}

TEST_F(StageFuzzTest, RandomAndMutatedLines) {
    for (int round = 0; round < 3000; ++round) {
        const int stage = round % 4;
        if (round % 2 == 0)
            Scatter(Noise(random() % 300));
        else
            Scatter(Mutated(ValidLine));
        RunStage(stage);
    }
}

TEST_F(StageFuzzTest, WholeTransactionsAgainstAMisbehavingPhone) {
    for (int round = 0; round < 500; ++round) {
        line.farEnd = [this](const Bytes& fromPc) {
            // Echo mostly right, then whatever the phone makes of it.
            Scatter(random() % 4 ? fromPc : Mutated(fromPc));
            if (random() % 2) Scatter(Mutated(ValidLine));
            if (random() % 3 == 0) Scatter(Noise(random() % 100));
        };
        link.RxBuffer.clear();
        const double start = runtime.now;
        const std::int32_t result = bus.SendCommand("00016401");
        EXPECT_TRUE(result == 0 || result == 1);
        EXPECT_LE(runtime.now, start + 50.0 + 1e-9) << "five stages at most, ten seconds each";
        line.farEnd = nullptr;
        while (!runtime.Idle()) runtime.DoEvents(runtime.now + 100.0);
        line.inBuffer.clear();
    }
}

}  // namespace
}  // namespace kelvra::test
