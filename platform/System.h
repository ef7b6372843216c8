// SPDX-License-Identifier: MIT
#pragma once
// What the program needs of the operating system that the standard library
// does not say the same way everywhere. Plain C++; one implementation per
// platform (posix/, windows/), picked by the build.

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

namespace kelvra::System {

// The system's own text for an error number (errno; GetLastError() on
// Windows), without a closing full stop or line break.
std::string ErrorText(unsigned long code);

// This process's number.
long ProcessId();

// `seconds` as local time, and that time's offset from UTC in seconds.
std::tm LocalTime(std::time_t seconds, long& offsetSeconds);

// Whether `device` is a name of a local device as this platform writes one:
// an absolute path (any name on Windows, where COM names are not paths).
bool LocalDeviceName(const std::string& device);
// The device Com<port> is when nothing else names one: /dev/ttyS<port-1>, COM<port>.
std::string DefaultDevice(int port);
// Whether `device` names a device node that is there (never on Windows, whose
// COM ports have no node to look at: they are listed instead).
bool DeviceNodePresent(const std::string& device);

// Standard input, output and error that are closed are opened on the null
// device, and SIGPIPE is ignored where there is one. True when standard
// output was closed.
bool PrepareStandardStreams();
// Writes `line` and a line break to a console as wide text; false, writing
// nothing, when `to` is not a console that needs it.
bool WriteConsoleLine(std::FILE* to, std::string_view line);
// Whether standard output is a pipe whose last reader has gone; false where it cannot be told.
bool StandardOutputReaderGone();

}  // namespace kelvra::System
