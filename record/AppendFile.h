// SPDX-License-Identifier: MIT
#pragma once
// A file that a run's record is appended to: opened for appending, never
// truncated, each piece written whole in one system call at the file's end
// under the file's lock, so that a crash loses at most the piece being
// written and pieces of several processes sharing the file never mix.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvra {

class AppendFile {
public:
    enum class Pieces {
        Blocks,
        // Each piece is a line of text: one that would follow a cut line
        // (another writer's, cut by a full disk) starts on a line of its own.
        Lines,
    };

    // `what` names the file in reports ("the log file"). A FIFO is refused
    // unless something reads it; a path names the file by its bytes. Throws
    // std::runtime_error("<path>: <reason>") when it cannot be opened.
    // With `waitForReader`, a FIFO that nothing reads yet is waited for (up to
    // ReaderWaitSeconds) instead of refused, as for a reader started alongside.
    AppendFile(std::string path, std::string what, Pieces pieces = Pieces::Blocks, bool waitForReader = false);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // What goes before a piece when another writer has appended to the file
    // since this one's last piece, in the same write: what the piece needs
    // to be read as this writer's (a capture's section and interfaces).
    using Resume = std::function<std::string()>;

    // Writes `size` bytes whole at the end; false (and Fail) when they could
    // not be. A piece cut short (a full disk) is taken back off the file, but
    // only while the lock is held and nothing follows it: what another writer
    // appended is never cut. Another program's lock is waited for at most
    // LockWaitSeconds, once; after that the pieces are written without it (one
    // append each still keeps them whole), and the reporter hears of it once.
    bool Write(const void* data, std::size_t size, const Resume& resume = {});
    // A piece was lost for `reason`: the record is incomplete. The first time,
    // the reporter hears "<what> <path> cannot be written: <reason>".
    void Fail(const std::string& reason);
    // Something the user should know that loses nothing, told once: "<what> <path> <text>".
    void Note(const std::string& text);

    // Hears every failure and note; those that came before this call are told at once.
    void OnReport(std::function<void(const std::string&)> report);
    // Says when to stop waiting for a lock or a reader: a termination signal arrived.
    void SetInterrupted(std::function<bool()> interrupted) { interrupted_ = std::move(interrupted); }
    bool Incomplete() const { return incomplete_; }
    // A pipe or FIFO whose last reader has gone (its writing end shows an error):
    // nothing written would be read. False for other files and where it cannot be told.
    bool ReaderGone() const;

    // A regular file, whose bytes can be read back (Read) and cut (CutAt); not a FIFO or a device.
    bool Regular() const { return readFd_ >= 0; }
    std::uint64_t Size() const;
    // Up to `n` bytes from `offset`; fewer at the end of the file or when
    // reading fails, which ReadFailure() then says.
    std::size_t Read(std::uint64_t offset, void* into, std::size_t n) const;
    // Why the last Read that failed did (the system's text); empty if none has.
    const std::string& ReadFailure() const { return readFailure_; }
    // Takes everything from `offset` off the end of the file.
    bool CutAt(std::uint64_t offset);
    // Runs `inspect` while holding the file's lock.
    void Locked(const std::function<void()>& inspect);

    const std::string& Path() const { return path_; }
    // Whether `a` and `b` name one file (also one not there yet).
    static bool SameFile(const std::string& a, const std::string& b);

    static constexpr double LockWaitSeconds = 1.0;
    static constexpr double ReaderWaitSeconds = 30.0;

private:
    bool Lock();
    // The platform's part: the file's lock tried once, and the last failure's text.
    bool TryLock();
    static std::string LastError();
    void Unlock();
    // Writes all of it, waiting for a slow reader of a FIFO; false with errno
    // set. `wrote` counts what went out; `end` is where the file's last write
    // of this call ended (a regular file).
    bool WriteAll(const char* data, std::size_t size, std::size_t& wrote, std::uint64_t& end);
    void Tell(std::string text);

    std::string path_;
    std::string what_;
    Pieces pieces_;
    // A descriptor (a handle on Windows) open for appending.
    std::intptr_t fd_ = -1;
    // The same file opened for reading, for a regular file.
    std::intptr_t readFd_ = -1;
    bool incomplete_ = false;
    bool lockWaitFailed_ = false;
    mutable std::string readFailure_;
    // Where this writer's last piece ended (a regular file); 0 before the first.
    std::uint64_t ourEnd_ = 0;
    // What came before the reporter was set.
    std::vector<std::string> untold_;
    std::function<void(const std::string&)> report_;
    std::function<bool()> interrupted_;
};

}  // namespace kelvra
