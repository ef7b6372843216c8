// SPDX-License-Identifier: MIT
#include "cli/PortList.h"

#include "serial/Devices.h"

namespace kelvra {

QString PortListing(const PortMap& ports, const QString& settingsPath) {
    auto orDash = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    QString text = QStringLiteral("Serial devices:\n");
    const std::vector<SerialDevice> devices = SerialDevices();
    if (devices.empty()) text += QStringLiteral("  none found\n");
    for (const SerialDevice& device : devices) {
        text += QStringLiteral("  %1\n    description: %2\n    maker: %3\n    USB vendor:product: %4\n"
                               "    serial number: %5\n")
                    .arg(device.path, orDash(device.description), orDash(device.maker), orDash(device.usbId),
                         orDash(device.serialNumber));
        for (const QString& alias : device.aliases) text += QStringLiteral("    also: %1\n").arg(alias);
    }
    text += QStringLiteral("Com ports:\n");
    for (int port = 1; port <= PortMap::Ports; ++port)
        text += QStringLiteral("  Com%1: %2\n").arg(port).arg(QString::fromStdString(DescribeMapping(ports.Resolve(port), port)));
    text += QStringLiteral("Settings file: %1\n").arg(settingsPath);
    return text;
}

}  // namespace kelvra
