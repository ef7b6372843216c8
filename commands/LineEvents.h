// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvra {

// How the window reports a code from the serial component.
struct CommEventReport {
    enum Kind { Ignored, Event, Error } kind;
    std::string text;  // empty for ignored codes
};

// One line event the serial component reports: how the window logs it and
// what readers of the line (the capture's dissector) call it.
struct LineEventEntry {
    std::int16_t code;
    CommEventReport::Kind kind;
    const char* text;        // the log line: "Break Received"; empty for the component's own text
    const char* readerName;  // "Break"
    bool news;               // only news (a modem line, the phone ringing), not a fault
};

// Every code the component reports through OnComm. The device gone has no log line of its own:
// the component's text names the device.
std::span<const LineEventEntry> LineEvents();

// `componentText` is the serial component's own description of the event;
// it names the events the table does not know.
CommEventReport DescribeCommEvent(std::int16_t code, const std::string& componentText = {});

}  // namespace kelvra
