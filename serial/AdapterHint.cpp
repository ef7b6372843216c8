// SPDX-License-Identifier: MIT
#include "serial/DeviceAccess.h"

namespace kelvra {

std::string AdapterHint(const std::string& device, int port, const std::vector<SerialDevice>& devices) {
    QStringList adapters;
    for (const SerialDevice& present : devices) {
        if (present.usbId.isEmpty()) continue;
        if (present.path.toStdString() == device || present.aliases.contains(QString::fromStdString(device))) return {};
        adapters << present.path;
    }
    if (adapters.isEmpty()) return {};
    return QStringLiteral("Serial adapters present: %1. Map one with: kelvra-netmon --map %2=%3")
        .arg(adapters.join(QStringLiteral(", ")))
        .arg(port)
        .arg(adapters.first())
        .toStdString();
}

}  // namespace kelvra
