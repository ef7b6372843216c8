// SPDX-License-Identifier: MIT
#include "platform/posix/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace kelvra::System {

FolderLock::FolderLock(const std::string& folder, double limitSeconds, const std::function<bool()>& giveUp) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    const int steps = static_cast<int>(limitSeconds * 100);
    for (int waited = 0; ::flock(fd_, LOCK_EX | LOCK_NB) != 0; ++waited) {
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        if (giveUp && giveUp()) {
            state_ = State::GaveUp;
            return;
        }
        if (waited >= steps) {
            state_ = State::Busy;
            return;
        }
        ::usleep(10000);
    }
    state_ = State::Held;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace kelvra::System
