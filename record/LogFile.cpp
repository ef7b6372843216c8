// SPDX-License-Identifier: MIT
#include "record/LogFile.h"

#ifndef _WIN32
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace kelvra {

bool LogFile::Lock() {
#ifdef _WIN32
    return true;
#else
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::duration<double>(LockWaitSeconds);
    for (;;) {
        if (::flock(file_.Descriptor(), LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return true;  // a file system without locks: O_APPEND alone keeps lines whole
        if (lockWaitFailed_ || (interrupted_ && interrupted_()) || Clock::now() >= giveUp) break;
        const timespec step{0, 10 * 1000 * 1000};
        ::nanosleep(&step, nullptr);
    }
    lockWaitFailed_ = true;
    file_.Fail("another program keeps it locked");
    return false;
#endif
}

bool LogFile::Append(std::string_view text) {
    std::string line = LocalTimestamp(std::chrono::system_clock::now());
    line += ' ';
    line += text;
    line += '\n';
    if (!Lock()) return false;
    // One write with O_APPEND puts the line whole at the end, also beside
    // other processes; the lock keeps writers on file systems without atomic
    // appends from mixing their lines.
    const bool whole = file_.Write(line.data(), line.size());
#ifndef _WIN32
    ::flock(file_.Descriptor(), LOCK_UN);
#endif
    return whole;
}

std::string LocalTimestamp(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
    // The local time read as if it were UTC, less the real instant.
    std::tm asUtc = local;
    const long offset = static_cast<long>(::_mkgmtime(&asUtc) - seconds);
#else
    localtime_r(&seconds, &local);
    const long offset = local.tm_gmtoff;
#endif
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%c%02ld:%02ld", date, static_cast<int>(millis < 0 ? millis + 1000 : millis),
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string OneLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            if (i + 1 < text.size()) line += "; ";
            continue;
        }
        line += text[i];
    }
    return line;
}

void Recorder::SetPort(int port, std::string device) { where_ = "Com" + std::to_string(port) + " " + device; }

void Recorder::Line(std::string_view text) { file_.Append(where_ + " " + OneLine(text)); }

void Recorder::Box(std::string_view text) { file_.Append(where_ + " box: " + OneLine(text)); }

}  // namespace kelvra
