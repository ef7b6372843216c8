// SPDX-License-Identifier: MIT
// Serial devices on Linux: names, locks, why an open failed, the devices present.
#include "serial/linux/DeviceAccess.h"

#include "serial/Devices.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <cerrno>

namespace kelvra {

std::vector<SerialDevice> SerialDevices() {
    std::vector<SerialDevice> devices;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QFileInfoList links = byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialDevice device{info.systemLocation(), info.description(), info.manufacturer(), {}, info.serialNumber(), {}};
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            device.usbId = QStringLiteral("%1:%2")
                               .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                               .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        for (const QFileInfo& link : links)
            if (link.canonicalFilePath() == device.path) device.aliases << link.absoluteFilePath();
        devices.push_back(std::move(device));
    }
    return devices;
}

namespace {

bool Representable(const QByteArray& bytes) { return QFile::encodeName(QFile::decodeName(bytes)) == bytes; }

// Where QSerialPort keeps the lock file of a device: the first of these
// folders that can be read and written, the device's name below /dev with
// '/' turned into '_'.
QString LockFilePath(const QString& portName) {
    static const char* const folders[] = {"/var/lock", "/etc/locks",  "/var/spool/locks",  "/var/spool/uucp",
                                          "/tmp",      "/var/tmp",    "/var/lock/lockdev", "/run/lock"};
    QString name = portName.startsWith(QLatin1String("/dev/")) ? portName.mid(5) : portName;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* folder : folders) {
        const QFileInfo info(QString::fromLatin1(folder));
        const QString path = QString::fromLatin1(folder) + QStringLiteral("/LCK..") + name;
        if (info.isReadable() && (QFile::exists(path) || info.isWritable())) return path;
    }
    return {};
}

// The largest process number the system gives, /proc/sys/kernel/pid_max.
qint64 PidMax() {
    QFile max(QStringLiteral("/proc/sys/kernel/pid_max"));
    bool ok = false;
    const qint64 value = max.open(QIODevice::ReadOnly) ? max.readAll().trimmed().toLongLong(&ok) : 0;
    return ok && value > 0 ? value : 4194304;
}

bool ProcessAlive(qint64 pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// Another process that has the device open, as far as /proc lets us see; 0 if none is found.
long ProcessHolding(const QString& portName) {
    struct stat device {};
    if (::stat(QFile::encodeName(portName).constData(), &device) != 0 || !S_ISCHR(device.st_mode)) return 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    long holder = 0;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
            struct stat open {};
            if (::stat(QFile::encodeName(fds.filePath(fd)).constData(), &open) == 0 && S_ISCHR(open.st_mode) &&
                open.st_rdev == device.st_rdev) {
                holder = pid;
                break;
            }
        }
        if (holder != 0) break;
    }
    ::closedir(proc);
    return holder;
}

QString InUse(long pid) {
    return pid > 0 ? QStringLiteral("in use by another program (process %1)").arg(pid)
                   : QStringLiteral("in use by another program");
}

// The process a lock file names, in any of the forms serial programs write:
// "pid\napp\nhost\n" (Qt's lock files), "%10d\n" or "%10d name user\n"
// (text, as uucp and terminal programs write it), or a 4-byte binary pid.
// 0 when it names none, or a process number the system never gives.
qint64 LockHolder(const QByteArray& content) {
    const bool text = std::all_of(content.begin(), content.end(), [](char c) {
        return std::isprint(static_cast<unsigned char>(c)) || std::isspace(static_cast<unsigned char>(c));
    });
    if (content.size() == 4 && !text) {
        std::int32_t pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    const QByteArray first = content.trimmed().split('\n').value(0).simplified().split(' ').value(0);
    bool ok = false;
    const qint64 pid = first.toLongLong(&ok);
    return ok && pid > 0 && pid <= PidMax() ? pid : 0;
}

QString Folder(const QString& path) { return QFileInfo(path).absolutePath(); }

bool ReadOnlyFolder(const QString& folder) {
    return ::access(QFile::encodeName(folder).constData(), W_OK) != 0 && (errno == EROFS || errno == EACCES);
}

// Why the device's lock could not be taken.
QString LockFailure(const QString& portName) {
    const QString path = LockFilePath(portName);
    if (path.isEmpty()) return QStringLiteral("no folder for its lock file can be written (/var/lock, /tmp, ...)");
    qint64 pid = 0;
    QString host, application;
    if (QLockFile(path).getLockInfo(&pid, &host, &application) && ProcessAlive(pid)) return InUse(static_cast<long>(pid));
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    if (name.size() > NAME_MAX)
        return QStringLiteral("its path is too long for a lock file name (%1 bytes, at most %2)")
            .arg(name.size())
            .arg(NAME_MAX);
    if (ReadOnlyFolder(Folder(path)))
        return QStringLiteral("cannot create its lock file %1: the folder %2 is read-only").arg(path, Folder(path));
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return QStringLiteral("cannot create its lock file %1: %2")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    ::unlink(QFile::encodeName(path).constData());
    return QStringLiteral("cannot lock it (lock file %1)").arg(path);
}

}  // namespace

namespace {

// Another name of the character device `rdev` under /dev that a QString can
// carry, so that its lock file is the one other programs use; empty if none.
QByteArray DevAlias(dev_t rdev, const QByteArray& folder = "/dev", int depth = 0) {
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr) return {};
    QByteArray found;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == ".." || name == "fd") continue;
        const QByteArray path = folder + '/' + name;
        struct stat node {};
        if (::lstat(path.constData(), &node) != 0) continue;
        if (S_ISCHR(node.st_mode) && node.st_rdev == rdev && Representable(path)) found = path;
        else if (S_ISDIR(node.st_mode) && depth < 2) found = DevAlias(rdev, path, depth + 1);
        if (!found.isEmpty()) break;
    }
    ::closedir(dir);
    return found;
}

}  // namespace

NativeDevice::NativeDevice(const std::string& path) {
    QByteArray native(path.data(), static_cast<qsizetype>(path.size()));
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        native = resolved;
        std::free(resolved);
    }
    if (Representable(native)) {
        portName_ = QFile::decodeName(native);
        return;
    }
    // A device node under a name that is not text: its name under /dev
    // gives it the lock every other name of it shares.
    if (struct stat node {}; ::stat(native.constData(), &node) == 0 && S_ISCHR(node.st_mode)) {
        if (const QByteArray alias = DevAlias(node.st_rdev); !alias.isEmpty()) {
            portName_ = QFile::decodeName(alias);
            return;
        }
    }
    // The device itself is not opened here: O_PATH only names it.
    pathFd_ = ::open(native.constData(), O_PATH | O_CLOEXEC);
    portName_ = pathFd_ >= 0 ? QStringLiteral("/proc/self/fd/%1").arg(pathFd_) : QFile::decodeName(native);
}

NativeDevice::~NativeDevice() {
    if (pathFd_ >= 0) ::close(pathFd_);
}

LockTaking::LockTaking(const QString& portName) {
    const QString path = LockFilePath(portName);
    if (path.isEmpty()) return;
    folder_ = ::open(QFile::encodeName(Folder(path)).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Another run takes its lock within milliseconds; after two seconds go on without waiting.
    for (int waited = 0; folder_ >= 0 && ::flock(folder_, LOCK_EX | LOCK_NB) != 0 && waited < 200; ++waited)
        ::usleep(10000);
}

LockTaking::~LockTaking() {
    if (folder_ >= 0) ::close(folder_);
}

namespace {
// What the lock file holds now; empty when it is not there.
QByteArray LockContent(const QString& path, bool& present) {
    QFile lock(path);
    present = lock.open(QIODevice::ReadOnly);
    return present ? lock.read(256) : QByteArray();
}

// Takes a dead holder's lock file off, but only the file that holds
// `content`: it is first moved aside, and put back if it turns out to be
// another process's lock written meanwhile. Empty when it is gone, else why not.
QString TakeOff(const QString& path, const QByteArray& content) {
    const QByteArray from = QFile::encodeName(path);
    const QByteArray aside = from + ".ended." + QByteArray::number(::getpid());
    if (::rename(from.constData(), aside.constData()) != 0) {
        if (errno == ENOENT) return {};
        return errno == EROFS || errno == EACCES
                   ? QStringLiteral("the folder %1 is read-only").arg(Folder(path))
                   : QString::fromLocal8Bit(std::strerror(errno));
    }
    bool present = false;
    if (LockContent(QFile::decodeName(aside), present) == content) {
        ::unlink(aside.constData());
        return {};
    }
    // Not the file that was read: put back unless a lock is there again.
    if (::link(aside.constData(), from.constData()) != 0 && errno != EEXIST) return {};
    ::unlink(aside.constData());
    return QStringLiteral("its lock file changed while it was taken over");
}
}  // namespace

std::string ForeignLock(const QString& portName) {
    const QString path = LockFilePath(portName);
    if (path.isEmpty()) return {};
    bool present = false;
    QByteArray content = LockContent(path, present);
    qint64 pid = LockHolder(content);
    // A lock being written this moment is read again for a while before anything is said of it.
    for (int retry = 0; present && pid == 0 && retry < 20; ++retry) {
        ::usleep(10000);
        content = LockContent(path, present);
        pid = LockHolder(content);
    }
    if (!present) return {};
    if (pid == 0)
        return QStringLiteral("its lock file %1 names no process; remove it if no program uses the device")
            .arg(path)
            .toStdString();
    if (ProcessAlive(pid)) return InUse(static_cast<long>(pid)).toStdString();
    // Left by a program that has ended: taken over.
    if (const QString why = TakeOff(path, content); !why.isEmpty())
        return QStringLiteral("its lock file %1 was left by process %2, which has ended, and cannot be taken over: %3")
            .arg(path)
            .arg(pid)
            .arg(why)
            .toStdString();
    return {};
}

std::string DescribeOpenFailure(const std::string& device, const QString& portName, const QSerialPort& port) {
    QString reason = port.errorString();
    if (port.error() == QSerialPort::PermissionError) {
        if (reason.contains(QLatin1String("lock")))
            reason = LockFailure(portName);
        else if (const long holder = ProcessHolding(portName); holder != 0 || reason.contains(QLatin1String("busy")))
            reason = InUse(holder);
    }
    return device + ": " + reason.toStdString();
}

}  // namespace kelvra
