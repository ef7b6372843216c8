#include "serial/PortNames.h"

#include <cstdlib>

namespace kelvra {

std::string DeviceForPort(int port) {
    const std::string variable = "KELVRA_COM" + std::to_string(port);
    if (const char* device = std::getenv(variable.c_str()); device != nullptr && *device != '\0') return device;
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

}  // namespace kelvra
