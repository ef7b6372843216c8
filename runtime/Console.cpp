// SPDX-License-Identifier: MIT
#include "runtime/Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace kelvra::Console {

namespace {
bool outputLost = false;
bool readerGone = false;
// Standard output was closed when the program started (now the null device).
bool outputClosed = false;

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

void PrepareStandardStreams() {
#ifndef _WIN32
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor: `fd` itself, as the ones below it are open.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
        if (fd == STDOUT_FILENO) outputClosed = true;
    }
    ::signal(SIGPIPE, SIG_IGN);
#endif
}

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
#ifndef _WIN32
    // A pipe's writing end reports an error once its last reader has closed it.
    pollfd out{STDOUT_FILENO, 0, 0};
    if (!readerGone && ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0) readerGone = true;
#endif
    return readerGone;
}

void Problem(std::string_view text) { Write(stderr, "kelvra-netmon: " + std::string(text)); }

}  // namespace kelvra::Console
