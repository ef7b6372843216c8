// SPDX-License-Identifier: MIT
// --map on Linux: the one line of the settings file changed in its own text, the file replaced whole.
#include "cli/Settings.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

#include "platform/posix/FolderLock.h"
#include "serial/PortMap.h"

namespace kelvra {

namespace {
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
    if (original.isEmpty() || original.endsWith('\n')) lines.removeLast();
    const QByteArray key = "com" + QByteArray::number(port);
    QByteArray section;
    // The entry goes where it stood first, else after the last line of the ports section.
    qsizetype stood = -1, afterPorts = -1;
    for (qsizetype i = 0; i < lines.size();) {
        const QByteArray line = lines[i].trimmed();
        if (line.startsWith('[') && line.endsWith(']')) section = line;
        if (section == "[ports]" && line.contains('=') && line.left(line.indexOf('=')).trimmed() == key) {
            if (stood < 0) stood = i;
            lines.removeAt(i);
            continue;
        }
        if (section == "[ports]" && !line.isEmpty()) afterPorts = i + 1;
        ++i;
    }
    if (!device.empty()) {
        if (stood < 0 && afterPorts < 0) {
            // A new ports section at the end.
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty()) lines << QByteArray();
            lines << "[ports]";
            afterPorts = lines.size();
        }
        lines.insert(stood >= 0 ? stood : afterPorts, key + '=' + IniValue(device));
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

// The process holding flock on the file or folder `fd` refers to, from /proc/locks; 0 if none is found.
long FlockHolder(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return 0;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the device's numbers in hexadecimal.
    const QByteArray node = QByteArray::number(major(info.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(info.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(static_cast<qulonglong>(info.st_ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QByteArrayList fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == node && fields[4].toLong() != ::getpid())
            return fields[4].toLong();
    }
    return 0;
}

// Held while the settings file is read and replaced, so that --map runs at
// the same time each keep the other's change: a lock on the file's folder.
// Another process holding it is waited for WaitSeconds at most.
class SettingsLock {
public:
    static constexpr int WaitSeconds = 3;

    explicit SettingsLock(const QString& folder)
        : lock_((QDir().mkpath(folder), QFile::encodeName(folder).toStdString()), WaitSeconds) {
        if (lock_.Outcome() != System::FolderLock::State::Busy) return;
        const long holder = FlockHolder(lock_.Descriptor());
        throw std::runtime_error(folder.toStdString() + ": another process" +
                                 (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                                 " has been changing the settings for " + std::to_string(WaitSeconds) +
                                 " seconds; nothing was changed, try again");
    }

private:
    System::FolderLock lock_;
};

const QByteArray Utf8Mark = "\xEF\xBB\xBF";

// Replaces the file at `path` with `text` whole or not at all: written to a
// new file beside it (with the old one's permissions), synced, and renamed
// over it only once every byte was written. Throws with the system's
// reason; the file is then as it was.
void ReplaceWhole(const QString& path, const QByteArray& text) {
    QSaveFile file(path);
    // Unbuffered: a short write (a full disk) is seen by the write itself, and commit keeps the old file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(text) != text.size() || !file.commit())
        throw std::runtime_error(path.toStdString() + ": cannot be written: " + file.errorString().toStdString() +
                                 "; the file is left as it is");
}
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
    // A file that begins with the UTF-8 mark keeps it, and one with CR LF line ends keeps them.
    const bool marked = original.startsWith(Utf8Mark);
    if (marked) original.remove(0, Utf8Mark.size());
    const bool crlf = original.contains("\r\n");
    if (crlf) original.replace("\r\n", "\n");
    // A file with lines it cannot read would not give the mapping back: leave it alone.
    if (const int bad = UnreadableLine(original.split('\n')); bad != 0)
        throw std::runtime_error(shown + ": line " + std::to_string(bad) + " (" +
                                 original.split('\n')[bad - 1].trimmed().toStdString() +
                                 ") is not a setting; the file is left as it is");
    QByteArray changed = WithPort(original, port, device);
    if (ReadBack(changed, port).toStdString() != device)
        throw std::runtime_error(shown + ": Com" + std::to_string(port) +
                                 " cannot be stored there so that it reads back; the file is left as it is");
    if (crlf) changed.replace("\n", "\r\n");
    if (marked) changed.prepend(Utf8Mark);
    ReplaceWhole(path, changed);
    return path;
}

}  // namespace kelvra
