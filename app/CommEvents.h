#pragma once

#include <cstdint>

namespace kelvra {

// How the window reports a code from the serial component.
struct CommEventReport {
    enum Kind { Ignored, Event, Error } kind;
    const char* text;  // empty for ignored codes
};

CommEventReport DescribeCommEvent(std::int16_t code);

}  // namespace kelvra
