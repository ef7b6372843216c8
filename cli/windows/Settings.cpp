// SPDX-License-Identifier: MIT
// --map on Windows: the settings are the registry's.
#include "cli/Settings.h"

#include <QSettings>

#include <stdexcept>

namespace kelvra {

// The registry keeps each value apart: nothing else to keep whole.
QString RememberPort(int port, const std::string& device) {
    QSettings settings = OpenSettings();
    const QString key = QStringLiteral("ports/com%1").arg(port);
    if (device.empty())
        settings.remove(key);
    else
        settings.setValue(key, QString::fromStdString(device));
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw std::runtime_error(settings.fileName().toStdString() + ": cannot be written");
    return settings.fileName();
}

}  // namespace kelvra
