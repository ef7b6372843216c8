// SPDX-License-Identifier: MIT
#include "cli/Settings.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>
#include <QVariant>

#include <cctype>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "runtime/Console.h"
#include "serial/PortMap.h"

namespace kelvra {

namespace {

QSettings Open() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvra", "kelvra-netmon"); }

void Warn(const QString& path, const QString& text) { Console::Problem((path + QStringLiteral(": ") + text).toStdString()); }

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

#ifndef _WIN32
// The first line of an INI text that is neither blank, a comment, a
// [section] nor a key=value line; 0 if there is none.
int UnreadableLine(const QByteArrayList& lines) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#') || line.contains('=') ||
            (line.startsWith('[') && line.endsWith(']')))
            continue;
        return static_cast<int>(i) + 1;
    }
    return 0;
}

// `device` as an INI value that reads back unchanged.
QByteArray IniValue(const std::string& device) {
    QByteArray value(device.data(), static_cast<qsizetype>(device.size()));
    bool plain = !value.startsWith('@');
    for (const char c : value)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || QByteArray("/._+:-").contains(c));
    if (plain) return value;
    value.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + value + '"';
}

// The settings text with ports/com<port> set to `device`, or removed when
// `device` is empty; every other line stays as it was.
QByteArray WithPort(const QByteArray& original, int port, const std::string& device) {
    QByteArrayList lines = original.split('\n');
    const bool endsWithBreak = original.isEmpty() || original.endsWith('\n');
    if (endsWithBreak) lines.removeLast();
    const QByteArray key = "com" + QByteArray::number(port);
    const QByteArray entry = key + '=' + IniValue(device);
    QByteArray section;
    qsizetype insertAt = -1;
    for (qsizetype i = 0; i < lines.size();) {
        const QByteArray line = lines[i].trimmed();
        if (line.startsWith('[') && line.endsWith(']')) section = line;
        const bool ours = section == "[ports]" && line.contains('=') && line.left(line.indexOf('=')).trimmed() == key;
        if (ours) {
            if (insertAt < 0) insertAt = i;
            lines.removeAt(i);
            continue;
        }
        ++i;
    }
    if (!device.empty()) {
        if (insertAt >= 0) {
            lines.insert(insertAt, entry);
        } else {
            // After the last line of the ports section, or in a new one at the end.
            qsizetype end = -1;
            section.clear();
            for (qsizetype i = 0; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                if (line.startsWith('[') && line.endsWith(']')) section = line;
                if (section == "[ports]" && !line.isEmpty()) end = i;
            }
            if (end >= 0) {
                lines.insert(end + 1, entry);
            } else {
                if (!lines.isEmpty() && !lines.last().trimmed().isEmpty()) lines << QByteArray();
                lines << "[ports]" << entry;
            }
        }
    }
    QByteArray text = lines.join('\n');
    if (!lines.isEmpty()) text += '\n';
    return text;
}

// What ports/com<port> reads as in `text`.
QString ReadBack(const QByteArray& text, int port) {
    QTemporaryFile file;
    if (!file.open() || file.write(text) != text.size() || !file.flush()) return {};
    const QuietReading quiet;
    const QSettings settings(file.fileName(), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) return QStringLiteral("\n");
    return settings.value(QStringLiteral("ports/com%1").arg(port)).toString();
}

#endif

}  // namespace

QString SettingsPath() { return Open().fileName(); }

SavedSettings ReadSettings() {
    SavedSettings saved;
    const QuietReading quiet;
    const QSettings settings = Open();
    if (settings.status() == QSettings::FormatError) {
        Warn(settings.fileName(), QStringLiteral("not a settings file; the defaults are used"));
        return saved;
    }
    for (int port = 1; port <= 4; ++port)
        saved.ports[static_cast<std::size_t>(port - 1)] =
            PathValue(settings, QStringLiteral("ports/com%1").arg(port), true);
    saved.logFile = PathValue(settings, QStringLiteral("log/file"), false);
    saved.captureFile = PathValue(settings, QStringLiteral("capture/file"), false);
    return saved;
}

#ifdef _WIN32
// The registry keeps each value apart: nothing else to keep whole.
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
#else
namespace {
// Held while the settings file is read and replaced, so that --map runs at
// the same time each keep the other's change: a lock on the file's folder.
class SettingsLock {
public:
    explicit SettingsLock(const QString& folder) {
        QDir().mkpath(folder);
        fd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~SettingsLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;

private:
    int fd_ = -1;
};

const QByteArray Utf8Mark = "\xEF\xBB\xBF";
}  // namespace

QString RememberPort(int port, const std::string& device) {
    const QString path = SettingsPath();
    const std::string shown = path.toStdString();
    const SettingsLock lock(QFileInfo(path).absolutePath());
    QByteArray original;
    if (QFile file(path); file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error(shown + ": cannot be read: " + file.errorString().toStdString());
        original = file.readAll();
    }
    // A file that begins with the UTF-8 mark keeps it.
    const bool marked = original.startsWith(Utf8Mark);
    if (marked) original.remove(0, Utf8Mark.size());
    // A file with lines it cannot read would not give the mapping back: leave it alone.
    if (const int bad = UnreadableLine(original.split('\n')); bad != 0)
        throw std::runtime_error(shown + ": line " + std::to_string(bad) + " (" +
                                 original.split('\n')[bad - 1].trimmed().toStdString() +
                                 ") is not a setting; the file is left as it is");
    QByteArray changed = WithPort(original, port, device);
    if (ReadBack(changed, port).toStdString() != device)
        throw std::runtime_error(shown + ": Com" + std::to_string(port) +
                                 " cannot be stored there so that it reads back; the file is left as it is");
    if (marked) changed.prepend(Utf8Mark);
    // Written whole or not at all: a crash never leaves half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(changed) != changed.size() || !file.commit())
        throw std::runtime_error(shown + ": cannot be written: " + file.errorString().toStdString());
    return path;
}
#endif

}  // namespace kelvra
