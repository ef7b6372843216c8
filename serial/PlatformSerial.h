// SPDX-License-Identifier: MIT
#pragma once
// The serial component: for device files and COM ports the platform's own
// (QSerialPort on Linux, the Windows communications API on Windows), for a
// device server's address the network one, chosen at each opening. Its users
// know only the SerialComm interface.

#include <memory>

#include "serial/PortMap.h"
#include "serial/SerialComm.h"

namespace kelvra {

std::unique_ptr<SerialComm> MakeSerialComm(PortMap ports);
// The platform's own component, for device files and COM ports.
std::unique_ptr<SerialComm> MakeLocalSerialComm(PortMap ports);

}  // namespace kelvra
