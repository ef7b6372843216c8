// SPDX-License-Identifier: MIT
#include "record/AppendFile.h"

#include <windows.h>

#include <chrono>
#include <stdexcept>

#include "platform/System.h"
#include "platform/windows/Wide.h"

namespace kelvra {

// ---- Windows: wide paths, FILE_APPEND_DATA (each WriteFile one append), LockFileEx.

namespace {
using System::Wide;
std::string ErrorText(DWORD code) { return System::ErrorText(code); }

HANDLE AsHandle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }
std::intptr_t AsFd(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// The lock is a byte far beyond any end of file: other processes' appends are never in its way.
OVERLAPPED LockPlace() {
    OVERLAPPED place{};
    place.Offset = 0xFFFFFFFE;
    place.OffsetHigh = 0x7FFFFFFF;
    return place;
}
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

// The lock is on the reading handle; a pipe, which has none, is not locked.
bool AppendFile::TryLock() {
    if (readFd_ < 0) return true;
    OVERLAPPED place = LockPlace();
    return LockFileEx(AsHandle(readFd_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0;
}
std::string AppendFile::LastError() { return ErrorText(GetLastError()); }

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

}  // namespace kelvra
