// SPDX-License-Identifier: MIT
#pragma once
// What the program says on its console. Output that cannot be written is
// dropped and the program goes on without it: silently when nobody reads it
// any more (a closed pipe), and said once on standard error otherwise (a full
// disk, a standard output closed at start), which OutputLost() then tells.

#include <string_view>

namespace kelvra::Console {

// Called first thing in main, before anything is opened. Standard input,
// output and error that are closed (`>&-`, a cron job) are opened on the null
// device, so that no file the program opens later takes their place and
// receives its console lines. A closed pipe is one rule for every output:
// SIGPIPE is ignored, the write fails and is dropped.
void PrepareStandardStreams();

// One line on standard output, flushed at once.
void Line(std::string_view text);
// "kelvra-netmon: <text>" on standard error: the program's one way to
// report a problem, a message box of a headless run or a closing word.
void Problem(std::string_view text);
// Lines meant for standard output were lost for another reason than a closed pipe.
bool OutputLost();
// Standard output is a pipe or FIFO that nobody reads any more: a line
// failed with a closed pipe, or the pipe says so now.
bool ReaderGone();

}  // namespace kelvra::Console
