// SPDX-License-Identifier: MIT
#include "record/AppendFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/System.h"

namespace kelvra {

// O_APPEND, flock, pread and ftruncate; a path is its bytes.
namespace {
using Clock = std::chrono::steady_clock;
int FD(std::intptr_t fd) { return static_cast<int>(fd); }
}  // namespace

AppendFile::AppendFile(std::string path, std::string what, Pieces pieces, bool waitForReader)
    : path_(std::move(path)), what_(std::move(what)), pieces_(pieces) {
    // Not blocking: a FIFO that nobody reads fails at once instead of holding the run.
    const auto giveUp = Clock::now() + std::chrono::duration<double>(ReaderWaitSeconds);
    for (;;) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd_ >= 0 || errno != ENXIO || !waitForReader || Clock::now() >= giveUp) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (fd_ < 0) {
        if (errno == ENXIO)
            throw std::runtime_error(path_ + ": a FIFO that nothing reads; start its reader first");
        throw std::runtime_error(path_ + ": " + LastError());
    }
    struct stat written {};
    ::fstat(FD(fd_), &written);
    if (!S_ISREG(written.st_mode)) return;
    // Writes to a regular file never wait; blocking makes a full disk an error at once.
    ::fcntl(FD(fd_), F_SETFL, O_APPEND);
    readFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat read {};
    if (readFd_ >= 0 && (::fstat(FD(readFd_), &read) != 0 || read.st_ino != written.st_ino || read.st_dev != written.st_dev)) {
        ::close(FD(readFd_));
        readFd_ = -1;
    }
}

bool AppendFile::ReaderGone() const {
    pollfd out{FD(fd_), 0, 0};
    return !Regular() && ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

AppendFile::~AppendFile() {
    ::close(FD(fd_));
    if (readFd_ >= 0) ::close(FD(readFd_));
}

bool AppendFile::WriteAll(const char* data, std::size_t size, std::size_t& wrote, std::uint64_t& end) {
    wrote = 0;
    while (size > 0) {
        const ssize_t n = ::write(FD(fd_), data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            wrote += static_cast<std::size_t>(n);
            // Appending moves the offset to the end of what was just written, wherever others wrote before.
            if (Regular()) end = static_cast<std::uint64_t>(::lseek(FD(fd_), 0, SEEK_CUR));
            // A regular file that takes part of a piece is full.
            if (size > 0 && Regular()) {
                errno = ENOSPC;
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // A FIFO whose reader is slow: wait for room, unless the run is ending.
        if (interrupted_ && interrupted_()) {
            errno = EINTR;
            return false;
        }
        pollfd room{FD(fd_), POLLOUT, 0};
        ::poll(&room, 1, 100);
    }
    return true;
}

std::uint64_t AppendFile::Size() const {
    struct stat info {};
    return readFd_ >= 0 && ::fstat(FD(readFd_), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

std::size_t AppendFile::Read(std::uint64_t offset, void* into, std::size_t n) const {
    std::size_t got = 0;
    while (readFd_ >= 0 && got < n) {
        const ssize_t r = ::pread(FD(readFd_), static_cast<char*>(into) + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) readFailure_ = LastError();
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

bool AppendFile::CutAt(std::uint64_t offset) { return ::ftruncate(FD(fd_), static_cast<off_t>(offset)) == 0; }

bool AppendFile::TryLock() {
    while (::flock(FD(fd_), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // A file system without locks: one append a piece alone keeps pieces whole.
        return errno != EWOULDBLOCK;
    }
    return true;
}
std::string AppendFile::LastError() { return System::ErrorText(static_cast<unsigned long>(errno)); }

namespace {

// The absolute path of `path`, its folder resolved, whether or not the file is there.
std::string Resolved(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string resolved = std::string(real) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::free(real);
    return resolved;
}
}  // namespace

void AppendFile::Unlock() { ::flock(FD(fd_), LOCK_UN); }

bool AppendFile::SameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0)
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    return Resolved(a) == Resolved(b);
}

}  // namespace kelvra
