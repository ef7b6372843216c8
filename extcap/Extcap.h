// SPDX-License-Identifier: MIT
#pragma once
// A capture source for Wireshark's extcap interface: one interface per Com
// port (m2bus-com1 to m2bus-com4), listened to and streamed into the FIFO
// Wireshark gives, so that Wireshark shows a live M2BUS line.

#include <string>
#include <vector>

#include "serial/PortMap.h"

namespace kelvra {

// Whether the command line is Wireshark calling an extcap (an --extcap-... option).
bool ExtcapCall(int argc, char** argv);

// Answers Wireshark's call: --extcap-interfaces, --extcap-dlts, --extcap-config,
// or --capture --extcap-interface m2bus-com<n> --fifo <path> [--device <path>].
// Returns the exit status; needs a QCoreApplication for a capture.
int RunExtcap(const std::vector<std::string>& arguments, PortMap ports);

// "m2bus-com<port>"; and the port an interface name stands for, 0 for none.
std::string ExtcapInterface(int port);
int ExtcapPort(const std::string& interface);

}  // namespace kelvra
