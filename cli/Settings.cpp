// SPDX-License-Identifier: MIT
#include "cli/Settings.h"

#include <QSettings>
#include <QVariant>

#include "runtime/Console.h"
#include "serial/PortMap.h"

namespace kelvra {

QSettings OpenSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvra", "kelvra-netmon");
}

namespace {

void Warn(const QString& path, const QString& text) { Console::Problem((path + QStringLiteral(": ") + text).toStdString()); }

// The text of `key`, or empty (with a warning) when it is there but not one plausible path.
std::string PathValue(const QSettings& settings, const QString& key, bool device) {
    if (!settings.contains(key)) return {};
    const QVariant value = settings.value(key);
    const bool text = value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray;
    const std::string path = text ? value.toString().toStdString() : std::string();
    if (text && !path.empty() && (!device || PlausibleDevice(path)) && path.find_first_of("\r\n") == std::string::npos)
        return path;
    Warn(settings.fileName(), QStringLiteral("%1 is not %2; ignored")
                                  .arg(key, device ? QStringLiteral("a device's absolute path")
                                                   : QStringLiteral("a file's path")));
    return {};
}

}  // namespace

QString SettingsPath() { return OpenSettings().fileName(); }

SavedSettings ReadSettings() {
    SavedSettings saved;
    const QuietReading quiet;
    const QSettings settings = OpenSettings();
    if (settings.status() == QSettings::FormatError) {
        Warn(settings.fileName(), QStringLiteral("not a settings file; the defaults are used"));
        return saved;
    }
    for (int port = 1; port <= PortMap::Ports; ++port)
        saved.ports[static_cast<std::size_t>(port - 1)] =
            PathValue(settings, QStringLiteral("ports/com%1").arg(port), true);
    saved.logFile = PathValue(settings, QStringLiteral("log/file"), false);
    saved.captureFile = PathValue(settings, QStringLiteral("capture/file"), false);
    return saved;
}

}  // namespace kelvra
