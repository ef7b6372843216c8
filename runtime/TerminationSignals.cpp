// SPDX-License-Identifier: MIT
#include "runtime/TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kelvra {

namespace {
volatile std::sig_atomic_t received = 0;
}  // namespace

int TerminationSignals::Received() { return received; }

std::string SignalName(int signo) {
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP: return "SIGHUP";
#endif
    default: return "signal " + std::to_string(signo);
    }
}

#ifdef Q_OS_UNIX
namespace {
int signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
    received = signo;
    const char signalled = static_cast<char>(signo);
    (void)!::write(signalPipe[1], &signalled, 1);
}
}  // namespace

TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)> onSignal) : QObject(parent) {
    ::signal(SIGPIPE, SIG_IGN);
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
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
}
#else
TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)>) : QObject(parent) {}
#endif

}  // namespace kelvra
