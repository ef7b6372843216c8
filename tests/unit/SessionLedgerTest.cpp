// SPDX-License-Identifier: MIT
// Closing a Windows port frees its session only after every operation it
// started has been seen to complete, in every order the driver, the system's
// wait thread and the owner's thread can bring: the line-event wait ending
// before, during or after the close's two-second give-up, or never; its
// callback's queued call running during the give-up, later or never.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/windows/SessionLedger.h"

namespace kelvra::WinComm {
namespace {

using Op = SessionLedger::Operation;

// The session as the component, the driver and the system's threads use it, step by step, with the
// ledger deciding as the component does. Any use of a freed session, or a second free, is a fault.
class Model {
public:
    Model() {
        ledger.Started(Op::Read);
        ledger.Started(Op::EventWait);
        waitRegistered = true;
    }

    // The driver ends the line-event wait: its event is signalled.
    void DriverEndsWait() {
        signalled = true;
        if (lateWatch) LateWatchFires();
        else if (waitRegistered && !unregistered) CallbackRuns();
    }
    // The driver ends the read (cancelled at the close); its completion routine is queued for the owner.
    void DriverEndsRead() { readDone = true; }
    // The owner's thread waits alertably: queued completions and calls run.
    void OwnerAlertable() {
        if (readDone && !readRan) {
            readRan = true;
            Use("the read's completion");
            if (ledger.Finished(Op::Read)) Free();
        }
        while (callsWaiting > 0) {
            --callsWaiting;
            Use("the wait's queued call");
            if (ledger.CallRan()) Free();
        }
    }
    // The close up to the give-up: the component asks every operation to end, runs what completes.
    void CloseGivesUp() { closing = true; }
    // After the give-up: the wait's callback is unregistered (blocking until a running one returns),
    // what is left of the wait settled, the handle closed and the session let go.
    void CloseFinishes() {
        unregistered = true;
        switch (ledger.WaitUnregistered(callbackRan, signalled)) {
        case SessionLedger::EventWaitEnd::Done:
        case SessionLedger::EventWaitEnd::CallComing: break;
        case SessionLedger::EventWaitEnd::WatchDriver: lateWatch = true; break;
        }
        Use("closing");
        if (ledger.Close()) Free();
    }

    SessionLedger ledger;
    int frees = 0;
    std::vector<std::string> faults;

private:
    void CallbackRuns() {
        callbackRan = true;
        Use("the wait's callback");
        ledger.CallQueued();
        if (ledger.Finished(Op::EventWait)) Free();
        ++callsWaiting;
    }
    void LateWatchFires() {
        lateWatch = false;
        Use("the late watch");
        if (ledger.Finished(Op::EventWait)) Free();
    }
    void Use(const std::string& who) {
        if (frees > 0) faults.push_back(who + " used a freed session");
    }
    void Free() {
        if (!ledger.Quiet()) faults.push_back("freed while the driver or a call still had it");
        ++frees;
    }

    bool waitRegistered = false, unregistered = false, signalled = false, callbackRan = false, lateWatch = false;
    bool readDone = false, readRan = false, closing = false;
    int callsWaiting = 0;
};

TEST(SessionLedger, FreesASessionOnlyOnceEverythingItStartedHasCompleted) {
    enum Step { WaitEnds, ReadEnds, Alertable, GiveUp, Finish };
    const struct {
        const char* order;
        std::vector<Step> steps;
        int frees;  // once every step has run
    } cases[] = {
        {"all ends within the give-up", {GiveUp, WaitEnds, ReadEnds, Alertable, Finish}, 1},
        {"the wait ended before the close, its call run at the give-up", {WaitEnds, GiveUp, ReadEnds, Alertable, Finish}, 1},
        {"the wait's call queued, run only after the close", {GiveUp, ReadEnds, Alertable, WaitEnds, Finish, Alertable}, 1},
        {"the wait's call queued and never run (the thread ends)", {GiveUp, ReadEnds, Alertable, WaitEnds, Finish}, 0},
        {"the wait ends after the close", {GiveUp, ReadEnds, Alertable, Finish, WaitEnds}, 1},
        {"the wait never ends", {GiveUp, ReadEnds, Alertable, Finish}, 0},
        {"the read never ends", {GiveUp, WaitEnds, Alertable, Finish}, 0},
        {"the read's completion runs after the close", {GiveUp, WaitEnds, Alertable, ReadEnds, Finish, Alertable}, 1},
        {"the wait ends after the close, the read later still", {GiveUp, Finish, WaitEnds, ReadEnds, Alertable}, 1},
        {"everything after the close, in the other order", {GiveUp, Finish, ReadEnds, Alertable, WaitEnds}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.order);
        Model model;
        for (const Step step : c.steps) {
            if (step == WaitEnds) model.DriverEndsWait();
            if (step == ReadEnds) model.DriverEndsRead();
            if (step == Alertable) model.OwnerAlertable();
            if (step == GiveUp) model.CloseGivesUp();
            if (step == Finish) model.CloseFinishes();
        }
        EXPECT_EQ(model.faults, std::vector<std::string>{});
        EXPECT_EQ(model.frees, c.frees);
    }
}

TEST(SessionLedger, AnOpenSessionIsNeverFreed) {
    SessionLedger ledger;
    // A completion that starts the next read before its own end is counted: the driver has the next one.
    ledger.Started(Op::Read);
    ledger.Started(Op::Read);
    EXPECT_FALSE(ledger.Finished(Op::Read));
    EXPECT_TRUE(ledger.Owns(Op::Read));
    EXPECT_FALSE(ledger.Finished(Op::Read));
    EXPECT_FALSE(ledger.Owns(Op::Read));
    ledger.Started(Op::Write);
    EXPECT_FALSE(ledger.Finished(Op::Write)) << "not let go of yet";
    ledger.CallQueued();
    EXPECT_FALSE(ledger.CallRan());
    EXPECT_TRUE(ledger.Quiet());
    EXPECT_TRUE(ledger.Close());
    EXPECT_FALSE(ledger.Close()) << "freed once";
}

}  // namespace
}  // namespace kelvra::WinComm
