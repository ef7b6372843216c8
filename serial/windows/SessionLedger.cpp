// SPDX-License-Identifier: MIT
#include "serial/windows/SessionLedger.h"

namespace kelvra::WinComm {

namespace {
int Index(SessionLedger::Operation operation) { return static_cast<int>(operation); }
}  // namespace

void SessionLedger::Started(Operation operation) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++owned_[Index(operation)];
}

bool SessionLedger::Finished(Operation operation) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (owned_[Index(operation)] > 0) --owned_[Index(operation)];
    return FreeNow();
}

void SessionLedger::CallQueued() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
}

bool SessionLedger::CallRan() {
    const std::lock_guard<std::mutex> lock(mutex_);
    --calls_;
    return FreeNow();
}

SessionLedger::EventWaitEnd SessionLedger::WaitUnregistered(bool callbackRan, bool driverFinished) {
    const std::lock_guard<std::mutex> lock(mutex_);
    // The callback marks the wait finished and queues its call before it returns.
    if (callbackRan) return EventWaitEnd::CallComing;
    if (!driverFinished) return EventWaitEnd::WatchDriver;
    if (owned_[Index(Operation::EventWait)] > 0) --owned_[Index(Operation::EventWait)];
    return EventWaitEnd::Done;
}

bool SessionLedger::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    return FreeNow();
}

bool SessionLedger::Owns(Operation operation) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return owned_[Index(operation)] > 0;
}

bool SessionLedger::Quiet() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return owned_[0] == 0 && owned_[1] == 0 && owned_[2] == 0 && calls_ == 0;
}

bool SessionLedger::FreeNow() {
    if (freed_ || !closed_ || calls_ != 0 || owned_[0] != 0 || owned_[1] != 0 || owned_[2] != 0) return false;
    freed_ = true;
    return true;
}

}  // namespace kelvra::WinComm
