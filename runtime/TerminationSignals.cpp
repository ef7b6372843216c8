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
    // SIGHUP, 1 wherever there is one (never raised on Windows, which has none).
    case 1: return "SIGHUP";
    default: return "signal " + std::to_string(signo);
    }
}

}  // namespace kelvra
