#pragma once

#include <string>

namespace kelvra {

// The device behind port number 1 to 4: KELVRA_COM<n> when set and not empty,
// otherwise the platform's own name (/dev/ttyS<n-1> on Linux, COM<n> on Windows).
std::string DeviceForPort(int port);

}  // namespace kelvra
