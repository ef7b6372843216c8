// SPDX-License-Identifier: MIT
#include "runtime/TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kelvra {

#ifdef Q_OS_UNIX
namespace {
int signalPipe[2] = {-1, -1};

void OnSignal(int signo) {
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
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#else
TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)>) : QObject(parent) {}
#endif

}  // namespace kelvra
