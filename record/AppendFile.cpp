// SPDX-License-Identifier: MIT
#include "record/AppendFile.h"

#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kelvra {

AppendFile::AppendFile(std::string path, std::string what) : path_(std::move(path)), what_(std::move(what)) {
#ifdef _WIN32
    fd_ = ::_open(path_.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, 0644);
#else
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
#endif
    if (fd_ < 0) throw std::runtime_error(path_ + ": " + std::strerror(errno));
}

AppendFile::~AppendFile() {
#ifdef _WIN32
    ::_close(fd_);
#else
    ::close(fd_);
#endif
}

bool AppendFile::Write(const void* data, std::size_t size) {
#ifdef _WIN32
    const int n = ::_write(fd_, data, static_cast<unsigned>(size));
    const bool whole = n == static_cast<int>(size);
#else
    ssize_t n = 0;
    do {
        n = ::write(fd_, data, size);
    } while (n < 0 && errno == EINTR);
    const bool whole = n == static_cast<ssize_t>(size);
#endif
    if (!whole) Fail(n < 0 ? std::strerror(errno) : "the disk is full");
    return whole;
}

void AppendFile::Fail(const std::string& reason) {
    if (incomplete_) return;
    incomplete_ = true;
    untold_ = what_ + " " + path_ + " cannot be written: " + reason;
    if (onFailure_) OnFirstFailure(std::move(onFailure_));
}

void AppendFile::OnFirstFailure(std::function<void(const std::string&)> report) {
    onFailure_ = std::move(report);
    if (untold_.empty() || !onFailure_) return;
    const auto tell = std::move(onFailure_);
    onFailure_ = nullptr;
    tell(std::exchange(untold_, {}));
}

}  // namespace kelvra
