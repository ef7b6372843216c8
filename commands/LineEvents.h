// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace kelvra {

// How the window reports a code from the serial component.
struct CommEventReport {
    enum Kind { Ignored, Event, Error } kind;
    std::string text;  // empty for ignored codes
};

// `componentText` is the serial component's own description of the event;
// it names the events the table does not know.
CommEventReport DescribeCommEvent(std::int16_t code, const std::string& componentText = {});

}  // namespace kelvra
