// SPDX-License-Identifier: MIT
// Ctrl+C, Ctrl+Break and closing the console, from the console's handler to the event loop.
#include "runtime/TerminationSignals.h"

#include <windows.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>

#include <csignal>

namespace kelvra {

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
    TerminationSignals::Note(signo);
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

}  // namespace kelvra
