// SPDX-License-Identifier: MIT
#include "runtime/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace kelvra::Console {

namespace {
bool outputLost = false;

#ifdef _WIN32
// A console shows wide text whatever its code page; UTF-8 goes to files and pipes as it is.
bool WriteToConsole(std::FILE* to, std::string_view text) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    std::fflush(to);
    const std::string line = std::string(text) + "\r\n";
    const int n = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), n);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return true;
}
#endif

// False, with errno, when the text could not be written whole.
bool Write(std::FILE* to, std::string_view text) {
#ifdef _WIN32
    if (WriteToConsole(to, text)) return true;
#endif
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
