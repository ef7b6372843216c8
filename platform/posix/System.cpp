// SPDX-License-Identifier: MIT
#include "platform/System.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvra::System {

std::string ErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

long ProcessId() { return static_cast<long>(::getpid()); }

std::tm LocalTime(std::time_t seconds, long& offsetSeconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    offsetSeconds = local.tm_gmtoff;
    return local;
}

bool LocalDeviceName(const std::string& device) { return !device.empty() && device.front() == '/'; }

std::string DefaultDevice(int port) { return "/dev/ttyS" + std::to_string(port - 1); }

bool DeviceNodePresent(const std::string& device) {
    struct stat status {};
    return ::stat(device.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

bool PrepareStandardStreams() {
    bool outputClosed = false;
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
    return outputClosed;
}

bool WriteConsoleLine(std::FILE*, std::string_view) { return false; }

bool StandardOutputReaderGone() {
    // A pipe's writing end reports an error once its last reader has closed it.
    pollfd out{STDOUT_FILENO, 0, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

}  // namespace kelvra::System
