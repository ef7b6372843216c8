// SPDX-License-Identifier: MIT
#pragma once
// The settings file: which device each Com port is, and the log file.
// Qt's native settings for organisation "Kelvra", application "kelvra-netmon"
// ($XDG_CONFIG_HOME/Kelvra/kelvra-netmon.conf on Linux), keys ports/com1 to
// ports/com4, log/file and capture/file.

#include <QSettings>
#include <QString>

#include <array>
#include <string>

#include "serial/PortMap.h"

namespace kelvra {

struct SavedSettings {
    // An empty entry: not set.
    std::array<std::string, PortMap::Ports> ports{};
    std::string logFile;
    std::string captureFile;
};

// Reads the settings file. A missing or unreadable file gives the defaults;
// a malformed value is left out with one line on standard error.
SavedSettings ReadSettings();

// Remembers Com<port> as `device`, or forgets it when `device` is empty.
// Returns the file's path; throws std::runtime_error when it cannot be written.
QString RememberPort(int port, const std::string& device);

QString SettingsPath();

// The settings as Qt keeps them on this platform.
QSettings OpenSettings();

// Keeps Qt's own warnings about values it cannot load (@Variant(...) of an
// unknown type) off the console while the file is read; such a value is
// reported as malformed, like any other.
class QuietReading {
public:
    QuietReading() : previous_(qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {})) {}
    ~QuietReading() { qInstallMessageHandler(previous_); }
    QuietReading(const QuietReading&) = delete;
    QuietReading& operator=(const QuietReading&) = delete;

private:
    QtMessageHandler previous_;
};

}  // namespace kelvra
