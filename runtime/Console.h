// SPDX-License-Identifier: MIT
#pragma once
// What the program says on its console. Output that cannot be written is
// dropped and the program goes on without it: silently when nobody reads it
// any more (a closed pipe), and said once on standard error otherwise (a full
// disk), which OutputLost() then tells.

#include <string_view>

namespace kelvra::Console {

// One line on standard output, flushed at once.
void Line(std::string_view text);
// "kelvra-netmon: <text>" on standard error: the program's one way to
// report a problem, a message box of a headless run or a closing word.
void Problem(std::string_view text);
// Lines meant for standard output were lost for another reason than a closed pipe.
bool OutputLost();

}  // namespace kelvra::Console
