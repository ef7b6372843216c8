// SPDX-License-Identifier: MIT
#pragma once
// What the program says on its console. Output that cannot be written (a
// closed pipe, a full disk) is dropped: the program goes on without it.

#include <string_view>

namespace kelvra::Console {

// One line on standard output, flushed at once.
void Line(std::string_view text);
// "kelvra-netmon: <text>" on standard error: the program's one way to
// report a problem, a message box of a headless run or a closing word.
void Problem(std::string_view text);

}  // namespace kelvra::Console
