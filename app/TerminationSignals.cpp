#include "app/TerminationSignals.h"

#include <QSocketNotifier>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kelvra {

#ifdef Q_OS_UNIX
namespace {
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char signalled = 1;
    (void)!::write(signalPipe[1], &signalled, 1);
}
}  // namespace

TerminationSignals::TerminationSignals(QWidget* window) : QObject(window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, window, [window] {
        char signalled = 0;
        (void)!::read(signalPipe[0], &signalled, 1);
        window->close();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#else
TerminationSignals::TerminationSignals(QWidget* window) : QObject(window) {}
#endif

}  // namespace kelvra
