// SPDX-License-Identifier: MIT
#include "runtime/TerminationSignals.h"

#include <csignal>

namespace kelvra {

namespace {
volatile std::sig_atomic_t received = 0;
}  // namespace

int TerminationSignals::Received() { return received; }

void TerminationSignals::Note(int signo) { received = signo; }

}  // namespace kelvra
