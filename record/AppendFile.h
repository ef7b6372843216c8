// SPDX-License-Identifier: MIT
#pragma once
// A file that a run's record is appended to: opened for appending, never
// truncated, each piece written in one system call at the file's end, so
// that a crash loses at most the piece being written.

#include <cstddef>
#include <functional>
#include <string>

namespace kelvra {

class AppendFile {
public:
    // `what` names the file in reports ("the log file"). Throws
    // std::runtime_error("<path>: <reason>") when it cannot be opened.
    AppendFile(std::string path, std::string what);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Writes `size` bytes whole at the end in one write; false (and Fail) when they could not be.
    bool Write(const void* data, std::size_t size);
    // A piece was lost for `reason`: the record is incomplete. The first time,
    // OnFirstFailure hears "<what> <path> cannot be written: <reason>".
    void Fail(const std::string& reason);

    // A failure before this call (the file's first piece) is told at once.
    void OnFirstFailure(std::function<void(const std::string&)> report);
    bool Incomplete() const { return incomplete_; }
    int Descriptor() const { return fd_; }

private:
    std::string path_;
    std::string what_;
    int fd_ = -1;
    bool incomplete_ = false;
    // The first failure, until it has been told.
    std::string untold_;
    std::function<void(const std::string&)> onFailure_;
};

}  // namespace kelvra
