// SPDX-License-Identifier: MIT
#include "record/AppendFile.h"

#include <chrono>
#include <thread>
#include <utility>

namespace kelvra {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto LockStep = std::chrono::milliseconds(10);
}  // namespace

bool AppendFile::Lock() {
    const auto giveUp = Clock::now() + std::chrono::duration<double>(LockWaitSeconds);
    for (;;) {
        if (TryLock()) return true;
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
