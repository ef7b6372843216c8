// SPDX-License-Identifier: MIT
// SIGINT, SIGTERM and SIGHUP through a socket pair that the event loop watches.
#include "runtime/TerminationSignals.h"

#include <QSocketNotifier>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace kelvra {

static_assert(SIGHUP == 1, "SignalName names signal 1 SIGHUP");

namespace {
int signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
    TerminationSignals::Note(signo);
    const char signalled = static_cast<char>(signo);
    (void)!::write(signalPipe[1], &signalled, 1);
}
}  // namespace

TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)> onSignal) : QObject(parent) {
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [onSignal = std::move(onSignal)] {
        char signalled = 0;
        if (::read(signalPipe[0], &signalled, 1) == 1) onSignal(signalled);
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the program was started with ignored (nohup, trap '' HUP, SIGINT
    // for a script's background job) stays ignored: whoever started it asked so.
    static const std::vector<int> handled = [] {
        std::vector<int> watched;
        for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction before {};
            if (sigaction(signo, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
            watched.push_back(signo);
        }
        return watched;
    }();
    for (const int signo : handled) sigaction(signo, &action, nullptr);
}

TerminationSignals::~TerminationSignals() = default;

}  // namespace kelvra
