// SPDX-License-Identifier: MIT
#pragma once
// Traces every frame written to and every chunk read from the serial line as
// hex, in the logging category kelvra.m2bus (debug level, off by default):
//   QT_LOGGING_RULES="kelvra.m2bus.debug=true" kelvra-netmon

#include <QLoggingCategory>

#include <functional>
#include <vector>

#include "serial/SerialComm.h"

Q_DECLARE_LOGGING_CATEGORY(lcM2bus)

namespace kelvra::WireTrace {

// The pieces of a chunk (a frame, or bytes around frames); each piece is
// traced on a line of its own. None at first: chunks stay whole.
using Splitter = std::function<std::vector<Bytes>(const Bytes&)>;
void SetSplitter(Splitter splitter);

// Milliseconds since the program started, the direction ("out" or "in") and the bytes.
void Sent(const Bytes& bytes);
void Received(const Bytes& bytes);

}  // namespace kelvra::WireTrace
