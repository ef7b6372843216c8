// SPDX-License-Identifier: MIT
#include "runtime/TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#endif
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
#elif defined(_WIN32)
namespace {
std::function<void(int)> deliver;
HANDLE mainThread = nullptr;

// On the thread that made the handler, inside whatever alertable wait it is in (its event loop's, or a
// port operation's): handed on to the event loop, so the signal is acted on between events, never from
// inside an operation; the wait then returns.
void CALLBACK Deliver(ULONG_PTR signo) {
    const int number = static_cast<int>(signo);
    if (QCoreApplication* application = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            application, [number] {
                if (deliver) deliver(number);
            },
            Qt::QueuedConnection);
    else if (deliver)
        deliver(number);
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->interrupt();
}

// Runs on a thread of the system's: the event loop is told, as a signal's handler does on Linux.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signo = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    received = signo;
    if (mainThread != nullptr) QueueUserAPC(Deliver, mainThread, static_cast<ULONG_PTR>(signo));
    // Closing the console ends the process once this returns: give the run time to close the port.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(3000);
    return TRUE;
}
}  // namespace

// Ctrl+C is SIGINT; Ctrl+Break and closing the console are SIGTERM.
TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)> onSignal) : QObject(parent) {
    deliver = std::move(onSignal);
    if (mainThread == nullptr)
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// Later events are still counted (Received) but delivered to no one.
TerminationSignals::~TerminationSignals() { deliver = nullptr; }
#else
TerminationSignals::TerminationSignals(QObject* parent, std::function<void(int)>) : QObject(parent) {}
#endif
#ifndef _WIN32
TerminationSignals::~TerminationSignals() = default;
#endif

}  // namespace kelvra
