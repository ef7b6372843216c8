// SPDX-License-Identifier: MIT
#pragma once
// The serial component of the platform the program runs on: QSerialPort on
// Linux, the Windows communications API on Windows. Its users know only the
// SerialComm interface.

#include <memory>

#include "serial/PortMap.h"
#include "serial/SerialComm.h"

namespace kelvra {

std::unique_ptr<SerialComm> MakeSerialComm(PortMap ports);

}  // namespace kelvra
