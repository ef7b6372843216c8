// SPDX-License-Identifier: MIT
#include "record/AppendFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace kelvra {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto LockStep = std::chrono::milliseconds(10);
}  // namespace

#ifdef _WIN32
// ---- Windows: wide paths, FILE_APPEND_DATA (each WriteFile one append), LockFileEx.

namespace {
std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text != nullptr ? text : L"error";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    const int n = WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

HANDLE AsHandle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }
std::intptr_t AsFd(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// The lock is a byte far beyond any end of file: other processes' appends are never in its way.
OVERLAPPED LockPlace() {
    OVERLAPPED place{};
    place.Offset = 0xFFFFFFFE;
    place.OffsetHigh = 0x7FFFFFFF;
    return place;
}
}  // namespace

namespace {
// \\.\pipe\<name>: a named pipe another program serves (Wireshark's capture pipe).
bool NamedPipe(const std::wstring& path) {
    const std::wstring prefix = L"\\\\.\\pipe\\";
    return path.size() > prefix.size() && CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                                               static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// The writing end of a named pipe; one whose every instance is busy is waited for with `waitForReader`.
HANDLE OpenPipe(const std::wstring& path, bool waitForReader) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(AppendFile::ReaderWaitSeconds);
    for (;;) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || !waitForReader) return h;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            SetLastError(ERROR_PIPE_BUSY);
            return INVALID_HANDLE_VALUE;
        }
        WaitNamedPipeW(path.c_str(), static_cast<DWORD>(left.count()));
    }
}
}  // namespace

AppendFile::AppendFile(std::string path, std::string what, Pieces pieces, bool waitForReader)
    : path_(std::move(path)), what_(std::move(what)), pieces_(pieces) {
    const std::wstring wide = Wide(path_);
    if (NamedPipe(wide)) {
        HANDLE pipe = OpenPipe(wide, waitForReader);
        if (pipe == INVALID_HANDLE_VALUE) throw std::runtime_error(path_ + ": " + ErrorText(GetLastError()));
        fd_ = AsFd(pipe);
        return;
    }
    HANDLE h = CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error(path_ + ": " + ErrorText(GetLastError()));
    fd_ = AsFd(h);
    if (GetFileType(h) == FILE_TYPE_DISK) {
        HANDLE r = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (r != INVALID_HANDLE_VALUE) readFd_ = AsFd(r);
    }
}

AppendFile::~AppendFile() {
    CloseHandle(AsHandle(fd_));
    if (readFd_ >= 0) CloseHandle(AsHandle(readFd_));
}

bool AppendFile::WriteAll(const char* data, std::size_t size, std::size_t& wrote, std::uint64_t& end) {
    DWORD written = 0;
    const bool done = WriteFile(AsHandle(fd_), data, static_cast<DWORD>(size), &written, nullptr) != 0;
    wrote = written;
    end = Size();
    if (!done) return false;
    if (written != size) SetLastError(ERROR_DISK_FULL);
    return written == size;
}

std::uint64_t AppendFile::Size() const {
    LARGE_INTEGER size{};
    if (readFd_ < 0 || !GetFileSizeEx(AsHandle(readFd_), &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t AppendFile::Read(std::uint64_t offset, void* into, std::size_t n) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (readFd_ < 0) return 0;
    if (!ReadFile(AsHandle(readFd_), into, static_cast<DWORD>(n), &got, &at)) {
        if (GetLastError() != ERROR_HANDLE_EOF) readFailure_ = ErrorText(GetLastError());
        return 0;
    }
    return got;
}

bool AppendFile::CutAt(std::uint64_t offset) {
    HANDLE h = CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(offset);
    const bool cut = SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) != 0;
    CloseHandle(h);
    return cut;
}

namespace {
bool TryLock(std::intptr_t fd) {
    OVERLAPPED place = LockPlace();
    return LockFileEx(AsHandle(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0;
}
std::string LastError() { return ErrorText(GetLastError()); }
}  // namespace

void AppendFile::Unlock() {
    if (readFd_ < 0) return;
    OVERLAPPED place = LockPlace();
    UnlockFileEx(AsHandle(readFd_), 0, 1, 0, &place);
}

bool AppendFile::SameFile(const std::string& a, const std::string& b) {
    auto full = [](const std::string& path) {
        wchar_t buffer[32768];
        const DWORD n = GetFullPathNameW(Wide(path).c_str(), 32768, buffer, nullptr);
        std::wstring name(buffer, n);
        CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
        return name;
    };
    return full(a) == full(b);
}

// A named pipe's reader that goes is seen by the next write.
bool AppendFile::ReaderGone() const {
    // A pipe whose reading end has closed refuses even an empty write.
    HANDLE h = AsHandle(fd_);
    if (GetFileType(h) != FILE_TYPE_PIPE) return false;
    DWORD written = 0;
    if (WriteFile(h, "", 0, &written, nullptr)) return false;
    const DWORD error = GetLastError();
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

#else
// ---- Linux: O_APPEND, flock, pread and ftruncate; a path is its bytes.

namespace {
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
        throw std::runtime_error(path_ + ": " + std::strerror(errno));
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
        if (r < 0) readFailure_ = std::strerror(errno);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

bool AppendFile::CutAt(std::uint64_t offset) { return ::ftruncate(FD(fd_), static_cast<off_t>(offset)) == 0; }

namespace {
bool TryLock(std::intptr_t fd) {
    while (::flock(static_cast<int>(fd), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // A file system without locks: one append a piece alone keeps pieces whole.
        return errno != EWOULDBLOCK;
    }
    return true;
}
std::string LastError() { return std::strerror(errno); }

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
#endif

// ---- Both platforms.

bool AppendFile::Lock() {
#ifdef _WIN32
    const std::intptr_t lockFd = readFd_;
    if (lockFd < 0) return true;
#else
    const std::intptr_t lockFd = fd_;
#endif
    const auto giveUp = Clock::now() + std::chrono::duration<double>(LockWaitSeconds);
    for (;;) {
        if (TryLock(lockFd)) return true;
        if (lockWaitFailed_ || (interrupted_ && interrupted_()) || Clock::now() >= giveUp) break;
        std::this_thread::sleep_for(LockStep);
    }
    if (!lockWaitFailed_) {
        lockWaitFailed_ = true;
        Note("was locked by another program for over a second; it is written without waiting for the lock");
    }
    return false;
}

void AppendFile::Locked(const std::function<void()>& inspect) {
    const bool locked = Lock();
    inspect();
    if (locked) Unlock();
}

bool AppendFile::Write(const void* data, std::size_t size, const Resume& resume) {
    const bool locked = Lock();
    std::string piece;
    const char* bytes = static_cast<const char*>(data);
    const std::uint64_t before = Size();
    auto prefix = [&](const std::string& first) {
        piece = first + (piece.empty() ? std::string(bytes, size) : piece);
        bytes = piece.data();
        size = piece.size();
    };
    if (pieces_ == Pieces::Lines && Regular() && before > 0) {
        // A line cut short by another writer (a full disk, a crash) is ended first.
        char last = '\n';
        if (Read(before - 1, &last, 1) == 1 && last != '\n') prefix("\n");
    }
    // Another writer's pieces follow this one's last: say again whose this one is.
    if (resume && Regular() && ourEnd_ != 0 && before != ourEnd_) prefix(resume());
    std::size_t wrote = 0;
    std::uint64_t end = 0;
    const bool whole = WriteAll(bytes, size, wrote, end);
    const std::string reason = whole ? std::string() : LastError();
    if (whole && Regular()) ourEnd_ = end;
    // What did go out of a piece cut short is taken back, so that nothing after it is glued to a
    // fragment: only under the lock, and only while the file still ends with it.
    if (!whole && wrote > 0 && locked && Regular() && end >= wrote && Size() == end) CutAt(end - wrote);
    if (locked) Unlock();
    if (!whole) Fail(reason);
    return whole;
}

void AppendFile::Fail(const std::string& reason) {
    if (incomplete_) return;
    incomplete_ = true;
    Tell(what_ + " " + path_ + " cannot be written: " + reason);
}

void AppendFile::Note(const std::string& text) { Tell(what_ + " " + path_ + " " + text); }

void AppendFile::Tell(std::string text) {
    if (report_)
        report_(text);
    else
        untold_.push_back(std::move(text));
}

void AppendFile::OnReport(std::function<void(const std::string&)> report) {
    report_ = std::move(report);
    if (!report_) return;
    for (const std::string& text : std::exchange(untold_, {})) report_(text);
}

}  // namespace kelvra
