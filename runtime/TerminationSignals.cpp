// SPDX-License-Identifier: MIT
#include "runtime/TerminationSignals.h"

#include <csignal>
#include <string>

namespace kelvra {

namespace {
volatile std::sig_atomic_t received = 0;
}  // namespace

int TerminationSignals::Received() { return received; }

void TerminationSignals::Note(int signo) { received = signo; }

std::string SignalName(int signo) {
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP  // not on Windows
    case SIGHUP: return "SIGHUP";
#endif
    default: return "signal " + std::to_string(signo);
    }
}

}  // namespace kelvra
