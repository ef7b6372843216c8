// SPDX-License-Identifier: MIT
#pragma once
// flock on a folder, held while the object lives: the one step among the
// tool's processes for what they change in that folder (lock files, settings).

#include <functional>
#include <string>

namespace kelvra::System {

class FolderLock {
public:
    enum class State {
        Held,
        // Another process held it for the whole limit.
        Busy,
        // `giveUp` said so first.
        GaveUp,
        // The folder cannot be opened or locked at all: nothing to wait for.
        Unlockable,
    };

    // Another holder is waited for in 10 ms steps, at most `limitSeconds`,
    // and no longer once `giveUp` returns true.
    FolderLock(const std::string& folder, double limitSeconds, const std::function<bool()>& giveUp = {});
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    State Outcome() const { return state_; }
    // The folder's descriptor while it is open (to name the holder); -1 otherwise.
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    State state_ = State::Unlockable;
};

}  // namespace kelvra::System
