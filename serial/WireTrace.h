// SPDX-License-Identifier: MIT
#pragma once
// Traces every frame written to and every chunk read from the serial line as
// hex, in the logging category kelvra.m2bus (debug level, off by default):
//   QT_LOGGING_RULES="kelvra.m2bus.debug=true" kelvra-netmon

#include <QLoggingCategory>

#include <vector>

#include "serial/SerialComm.h"

Q_DECLARE_LOGGING_CATEGORY(lcM2bus)

namespace kelvra::WireTrace {

// The byte sequences that start a frame; each traced chunk is split before
// every one of them, one frame per line. None at first: chunks stay whole.
void SetFrameStarts(std::vector<Bytes> starts);

// Milliseconds since the program started, the direction ("out" or "in") and the bytes.
void Sent(const Bytes& bytes);
void Received(const Bytes& bytes);

}  // namespace kelvra::WireTrace
