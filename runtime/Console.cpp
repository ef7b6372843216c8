// SPDX-License-Identifier: MIT
#include "runtime/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/System.h"

namespace kelvra::Console {

namespace {
bool outputLost = false;
bool readerGone = false;
// Standard output was closed when the program started (now the null device).
bool outputClosed = false;

// False, with errno, when the text could not be written whole.
bool Write(std::FILE* to, std::string_view text) {
    if (System::WriteConsoleLine(to, text)) return true;
    errno = 0;
    const bool whole = std::fwrite(text.data(), 1, text.size(), to) == text.size() && std::fputc('\n', to) != EOF &&
                       std::fflush(to) == 0;
    std::clearerr(to);
    return whole;
}
}  // namespace

void PrepareStandardStreams() { outputClosed = System::PrepareStandardStreams(); }

void Line(std::string_view text) {
    if (outputClosed) {
        if (outputLost) return;
        outputLost = true;
        Problem("standard output is closed; its lines are lost");
        return;
    }
    if (Write(stdout, text)) return;
    if (errno == EPIPE) {
        readerGone = true;
        return;
    }
    if (outputLost) return;
    outputLost = true;
    Problem(std::string("standard output cannot be written: ") + std::strerror(errno));
}

bool OutputLost() { return outputLost; }

bool ReaderGone() {
    if (!readerGone && System::StandardOutputReaderGone()) readerGone = true;
    return readerGone;
}

void Problem(std::string_view text) { Write(stderr, "kelvra-netmon: " + std::string(text)); }

}  // namespace kelvra::Console
