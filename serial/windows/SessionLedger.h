// SPDX-License-Identifier: MIT
#pragma once
// What one opening of a Windows port has handed to others and not yet got
// back: operations the driver may still write into (a read, a write, a
// line-event wait, each with its OVERLAPPED, buffer or event mask) and calls
// queued for the owner's thread that carry the session. The session may be
// freed only once the component has let go of it and nothing is out, however
// late the driver or a queued call comes; whoever brings it there frees it,
// once. Plain C++, so that every order of completions is tested anywhere;
// thread-safe, since a line-event wait ends on a thread of the system's.

#include <mutex>

namespace kelvra::WinComm {

class SessionLedger {
public:
    enum class Operation { Read, Write, EventWait };
    // What is left of a line-event wait once its wait callback can no longer start.
    enum class EventWaitEnd {
        Done,        // the driver finished and no call is coming for it
        CallComing,  // the callback ran: its queued call will settle the wait
        WatchDriver  // the driver still has it: watch for its late completion
    };

    // The driver has the operation (its I/O was started). Counted, so that a
    // completion that starts the next one before its own end is counted keeps it.
    void Started(Operation operation);
    // The driver is done with it (a completion routine ran, the wait's event
    // was signalled). True when the session is now to be freed by the caller.
    bool Finished(Operation operation);
    // A call carrying the session was queued for the owner's thread; it ran.
    // CallRan is true when the session is now to be freed by the caller.
    void CallQueued();
    bool CallRan();
    // The wait callback of the line-event wait was unregistered (it will not
    // start again); `callbackRan` whether it had run, `driverFinished` whether
    // the wait's event is signalled.
    EventWaitEnd WaitUnregistered(bool callbackRan, bool driverFinished);
    // The component lets go of the session. True when it is to be freed now.
    bool Close();

    bool Owns(Operation operation) const;
    // Nothing is with the driver and no call is queued.
    bool Quiet() const;

private:
    bool FreeNow();

    mutable std::mutex mutex_;
    int owned_[3] = {0, 0, 0};
    int calls_ = 0;
    bool closed_ = false;
    bool freed_ = false;
};

}  // namespace kelvra::WinComm
