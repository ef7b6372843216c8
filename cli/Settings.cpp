// SPDX-License-Identifier: MIT
#include "cli/Settings.h"

#include <QSettings>
#include <QVariant>

#include <cstdio>
#include <stdexcept>

#include "cli/Options.h"

namespace kelvra {

namespace {

QSettings Open() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvra", "kelvra-netmon"); }

void Warn(const QString& path, const QString& text) {
    std::fprintf(stderr, "kelvra-netmon: %s: %s\n", path.toLocal8Bit().constData(), text.toLocal8Bit().constData());
}

// The text of `key`, or empty (with a warning) when it is not one plausible path.
std::string PathValue(const QSettings& settings, const QString& key, bool device) {
    const QVariant value = settings.value(key);
    if (!value.isValid()) return {};
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

QString SettingsPath() { return Open().fileName(); }

SavedSettings ReadSettings() {
    SavedSettings saved;
    const QSettings settings = Open();
    if (settings.status() == QSettings::FormatError) {
        Warn(settings.fileName(), QStringLiteral("not a settings file; the defaults are used"));
        return saved;
    }
    for (int port = 1; port <= 4; ++port)
        saved.ports[static_cast<std::size_t>(port - 1)] =
            PathValue(settings, QStringLiteral("ports/com%1").arg(port), true);
    saved.logFile = PathValue(settings, QStringLiteral("log/file"), false);
    return saved;
}

QString RememberPort(int port, const std::string& device) {
    QSettings settings = Open();
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
