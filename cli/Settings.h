// SPDX-License-Identifier: MIT
#pragma once
// The settings file: which device each Com port is, and the log file.
// Qt's native settings for organisation "Kelvra", application "kelvra-netmon"
// ($XDG_CONFIG_HOME/Kelvra/kelvra-netmon.conf on Linux), keys ports/com1 to
// ports/com4, log/file and capture/file.

#include <QString>

#include <array>
#include <string>

namespace kelvra {

struct SavedSettings {
    // An empty entry: not set.
    std::array<std::string, 4> ports{};
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

}  // namespace kelvra
