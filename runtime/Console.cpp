// SPDX-License-Identifier: MIT
#include "runtime/Console.h"

#include <cstdio>
#include <string>

namespace kelvra::Console {

namespace {
void Write(std::FILE* to, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
    std::clearerr(to);
}
}  // namespace

void Line(std::string_view text) { Write(stdout, text); }

void Problem(std::string_view text) { Write(stderr, "kelvra-netmon: " + std::string(text)); }

}  // namespace kelvra::Console
