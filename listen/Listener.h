// SPDX-License-Identifier: MIT
#pragma once
// Listens to an M2BUS line without taking part: an adapter whose receive pin
// sits on the shared wire hears the PC and the phone alike. Never writes.

#include "record/LineCapture.h"
#include "serial/PortMap.h"

namespace kelvra {

struct ListenRequest {
    // The port listened to, and which device each port is.
    int port = 1;
    PortMap ports;
    // Where what is heard is captured besides, if anywhere.
    LineCapture* capture = nullptr;
    // For Wireshark (its extcap): the capture alone, and SIGTERM, its way of stopping, is the normal end.
    bool forWireshark = false;
};

// Opens the port for listening (its lock taken like any run's) and prints one
// line per frame as it passes: the milliseconds since listening began, the
// direction, what the frame is, a mark for a bad checksum and its bytes; bytes
// outside frames and line events get lines of their own. SIGINT is the normal
// end (status 0, a summary on standard error); SIGTERM and SIGHUP end it as
// they end runs; a device that goes away ends it with one line and status 1.
// Needs a QCoreApplication.
int Listen(const ListenRequest& request);

}  // namespace kelvra
