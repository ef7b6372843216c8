// SPDX-License-Identifier: MIT
#include "runtime/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelvra::Console {

namespace {
bool outputLost = false;

// False, with errno, when the text could not be written whole.
bool Write(std::FILE* to, std::string_view text) {
    errno = 0;
    const bool whole = std::fwrite(text.data(), 1, text.size(), to) == text.size() && std::fputc('\n', to) != EOF &&
                       std::fflush(to) == 0;
    std::clearerr(to);
    return whole;
}
}  // namespace

void Line(std::string_view text) {
    if (Write(stdout, text) || errno == EPIPE || outputLost) return;
    outputLost = true;
    Problem(std::string("standard output cannot be written: ") + std::strerror(errno));
}

bool OutputLost() { return outputLost; }

void Problem(std::string_view text) { Write(stderr, "kelvra-netmon: " + std::string(text)); }

}  // namespace kelvra::Console
