// SPDX-License-Identifier: MIT
#include "serial/Devices.h"

#include <QRegularExpression>

namespace kelvra {

UsbIdentity ParseInstanceId(const QString& instanceId) {
    static const QRegularExpression usb(QStringLiteral("VID_([0-9A-F]{4})[&+]PID_([0-9A-F]{4})(?:\\+([^\\\\]+))?"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto match = usb.match(instanceId);
    if (!match.hasMatch()) return {};
    UsbIdentity identity{(match.captured(1) + QLatin1Char(':') + match.captured(2)).toLower(), {}};
    const QStringList parts = instanceId.split(QLatin1Char('\\'));
    if (instanceId.startsWith(QLatin1String("FTDIBUS\\"), Qt::CaseInsensitive)) {
        // The FTDI driver appends the port's letter to the adapter's serial number.
        const QString withPort = match.captured(3);
        if (withPort.size() > 1) identity.serialNumber = withPort.chopped(1);
    } else if (parts.size() == 3 && !parts[1].contains(QLatin1String("&MI_"), Qt::CaseInsensitive) &&
               !parts[2].contains(QLatin1Char('&'))) {
        // Windows makes up an instance with '&' in it for adapters without a serial number.
        identity.serialNumber = parts[2];
    }
    return identity;
}

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
