// SPDX-License-Identifier: MIT
// What a listener says: frames in line order, each stamped when it began, and
// a line event after whatever it interrupted, however the bytes arrive.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listen/Narrator.h"

namespace kelvra {
namespace {

ByteString Spaced(std::string hex) {
    std::erase(hex, ' ');
    return HexToBytes(hex);
}

struct Step {
    enum { Bytes, Quiet, Event } what;
    const char* text;  // hex bytes, or the event's text
    long long ms;
};

TEST(Narrator, TellsTheLineInTheOrderItHappened) {
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> lines;
    } cases[] = {
        {"a frame in pieces is one line, stamped with its first byte",
         {{Step::Bytes, "1F 10 00", 10}, {Step::Bytes, "7F 01 71", 14}},
         {"      10 ms  phone to PC  Ack seq 1  1F 10 00 7F 01 71"}},
        {"a break in the middle of a frame comes after the frame it cut short",
         {{Step::Bytes, "1F 10 00 40 00 04", 3231}, {Step::Event, "Break Received", 3256}},
         {"    3231 ms  phone to PC  Reply (copy 1) [cut short]  1F 10 00 40 00 04",
          "    3256 ms  line event   Break Received"}},
        {"silence ends a frame cut short; what comes after is outside frames",
         {{Step::Bytes, "1F 00 10 40 00 04 00 01", 100}, {Step::Quiet, "", 0}, {Step::Bytes, "64 01", 900}},
         {"     100 ms  PC to phone  Command [cut short]  1F 00 10 40 00 04 00 01",
          "     900 ms  line         2 bytes outside a frame  64 01"}},
        {"an event between frames holds nothing back",
         {{Step::Bytes, "1F 10 00 7F 01 71", 5}, {Step::Event, "Framing Error", 6}, {Step::Bytes, "1F 10", 7}},
         {"       5 ms  phone to PC  Ack seq 1  1F 10 00 7F 01 71", "       6 ms  line event   Framing Error"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> said;
        Narrator narrator([&said](const std::string& line) { said.push_back(line); });
        for (const Step& step : c.steps) {
            if (step.what == Step::Bytes) narrator.Heard(Spaced(step.text), step.ms);
            if (step.what == Step::Quiet) narrator.Quiet();
            if (step.what == Step::Event) narrator.Event(step.text, step.ms);
        }
        EXPECT_EQ(said, c.lines);
    }
}

TEST(Narrator, CountsFramesBadChecksumsAndStrayBytes) {
    Narrator narrator({});
    narrator.Heard(Spaced("55 1F 10 00 7F 01 71 1F 10 00 7F 01 70 AA"), 0);
    narrator.Quiet();
    EXPECT_EQ(narrator.Totals(), "2 frames, 1 with a bad checksum, 2 bytes outside frames");
}

}  // namespace
}  // namespace kelvra
