// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include "serial/PortMap.h"

namespace kelvra {

// The serial devices present (path, description, maker, USB vendor:product,
// serial number, other names) and what Com1 to Com4 are, with where each
// mapping comes from; for --list-ports.
QString PortListing(const PortMap& ports, const QString& settingsPath);

}  // namespace kelvra
