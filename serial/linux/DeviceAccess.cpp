// SPDX-License-Identifier: MIT
// Serial devices on Linux: names, locks, why an open failed, the devices present.
#include "serial/linux/DeviceAccess.h"

#include "serial/Devices.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>
#include <QSysInfo>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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
    for (const QString& process : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const long pid = process.toLong(&number);
        if (!number || pid <= 0 || pid == ::getpid()) continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
            struct stat open {};
            if (::stat(QFile::encodeName(fds.filePath(fd)).constData(), &open) == 0 && S_ISCHR(open.st_mode) &&
                open.st_rdev == device.st_rdev)
                return pid;
        }
    }
    return 0;
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

// Why a lock file cannot stand at `path` at all; empty when it can.
std::string LockPathProblem(const QString& path) {
    if (path.isEmpty()) return "no folder for its lock file can be written (/var/lock, /tmp, ...)";
    const qsizetype name = QFile::encodeName(QFileInfo(path).fileName()).size();
    if (name <= NAME_MAX) return {};
    return QStringLiteral("its path is too long for a lock file name (%1 bytes, at most %2)").arg(name).arg(NAME_MAX).toStdString();
}

// Why a lock file could not be created at `path`, from errno.
std::string CreateFailure(const QString& path) {
    if (errno == EROFS || errno == EACCES)
        return QStringLiteral("cannot create its lock file %1: the folder %2 is read-only").arg(path, Folder(path)).toStdString();
    return QStringLiteral("cannot create its lock file %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))).toStdString();
}

// Why the device's lock could not be taken.
QString LockFailure(const QString& portName) {
    const QString path = LockFilePath(portName);
    if (const std::string why = LockPathProblem(path); !why.empty()) return QString::fromStdString(why);
    qint64 pid = 0;
    QString host, application;
    if (QLockFile(path).getLockInfo(&pid, &host, &application) && ProcessAlive(pid)) return InUse(static_cast<long>(pid));
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return QString::fromStdString(CreateFailure(path));
    ::close(fd);
    ::unlink(QFile::encodeName(path).constData());
    return QStringLiteral("cannot lock it (lock file %1)").arg(path);
}

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

// What processes of this program killed while taking or holding a lock
// left in the lock folder: the lock files QSerialPort made of their private
// device names ("LCK.._proc_<pid>_fd_<n>"), and the files a lock is written
// in ("LCK..<name>.new.<pid>") or moved aside to ("LCK..<name>.ended.<pid>")
// before it is linked into place or removed. Only a process of that number
// makes such a file, so one whose process has ended (or is this one, an
// earlier process of its number) is taken off.
void RemoveDeadLeftovers(const QString& folder) {
    const QDir locks(folder);
    const QStringList patterns{QStringLiteral("LCK.._proc_*_fd_*"), QStringLiteral("LCK..*.new.*"),
                               QStringLiteral("LCK..*.ended.*")};
    for (const QString& name : locks.entryList(patterns, QDir::Files | QDir::System)) {
        const bool privateName = name.startsWith(QLatin1String("LCK.._proc_"));
        bool number = false;
        const qint64 pid = (privateName ? name.section(QLatin1Char('_'), 2, 2) : name.section(QLatin1Char('.'), -1))
                               .toLongLong(&number);
        if (number && (pid == ::getpid() || !ProcessAlive(pid))) ::unlink(QFile::encodeName(locks.filePath(name)).constData());
    }
}

}  // namespace

NativeDevice::NativeDevice(const std::string& path) {
    QByteArray native(path.data(), static_cast<qsizetype>(path.size()));
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        native = resolved;
        std::free(resolved);
    }
    // A device node under a name that is not text: its name under /dev
    // gives it the lock every other name of it shares (and a pseudo-terminal
    // opens only through its own node).
    if (!Representable(native)) {
        if (struct stat node {}; ::stat(native.constData(), &node) == 0 && S_ISCHR(node.st_mode)) {
            if (const QByteArray alias = DevAlias(node.st_rdev); !alias.isEmpty()) native = alias;
        }
    }
    portName_ = QFile::decodeName(native);
    // The device itself is not opened here: O_PATH only names it.
    pathFd_ = ::open(native.constData(), O_PATH | O_CLOEXEC);
    if (pathFd_ < 0) {
        openError_ = errno;
        return;
    }
    openName_ = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(pathFd_);
    if (const QString own = LockFilePath(openName_); !own.isEmpty()) RemoveDeadLeftovers(Folder(own));
}

NativeDevice::~NativeDevice() {
    if (pathFd_ >= 0) ::close(pathFd_);
}

LockTaking::LockTaking(const QString& portName, const std::function<bool()>& interrupted) {
    const QString path = LockFilePath(portName);
    if (path.isEmpty()) return;
    // Another run's step takes milliseconds, or a few seconds with a lock being written;
    // after five seconds go on without waiting.
    lock_.emplace(QFile::encodeName(Folder(path)).toStdString(), 5.0, interrupted);
}

LockTaking::~LockTaking() = default;

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

// How long ago the file at `path` was last changed, in seconds; 0 if unknown.
double Age(const QString& path) {
    const QDateTime changed = QFileInfo(path).lastModified();
    return changed.isValid() ? static_cast<double>(changed.msecsTo(QDateTime::currentDateTime())) / 1e3 : 0;
}

// What another program's lock file at `path` means for taking the device:
// empty when it is gone or taken off (the device is free), else why not.
std::string Judge(const QString& path) {
    bool present = false;
    QByteArray content = LockContent(path, present);
    qint64 pid = LockHolder(content);
    // A lock being written this moment is read again before anything is said of
    // it: a half-written one for a short while, an empty one until it is old.
    for (int retry = 0; present && pid == 0; ++retry) {
        const bool empty = content.trimmed().isEmpty();
        if (empty ? Age(path) >= DeviceLock::StaleEmptySeconds || retry >= 300 : retry >= 20) break;
        ::usleep(10000);
        content = LockContent(path, present);
        pid = LockHolder(content);
    }
    if (!present) return {};
    const bool abandoned = pid == 0 && content.trimmed().isEmpty();
    if (pid == 0 && !abandoned)
        return QStringLiteral("its lock file %1 names no process; remove it if no program uses the device")
            .arg(path)
            .toStdString();
    if (ProcessAlive(pid)) return InUse(static_cast<long>(pid)).toStdString();
    // Left by a program that has ended, or empty for long (its writer killed): taken over.
    if (const QString why = TakeOff(path, content); !why.isEmpty()) {
        const QString who = abandoned ? QStringLiteral("was left empty")
                                      : QStringLiteral("was left by process %1, which has ended,").arg(pid);
        return QStringLiteral("its lock file %1 %2 and cannot be taken over: %3").arg(path, who, why).toStdString();
    }
    return {};
}

// This process's lock: its number, the program's name and the host, as Qt's lock files have them.
QByteArray OwnLockContent() {
    const QString program = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).fileName();
    return QByteArray::number(::getpid()) + '\n' + QFile::encodeName(program) + '\n' +
           QSysInfo::machineHostName().toLocal8Bit() + '\n';
}

}  // namespace

std::string DeviceLock::Take(const QString& portName) {
    Release();
    const QString path = LockFilePath(portName);
    if (std::string why = LockPathProblem(path); !why.empty()) return why;
    const QByteArray name = QFile::encodeName(path);
    const QByteArray content = OwnLockContent();
    // Written whole under a name of this process's, then linked into place: one step that fails if a lock is there.
    const QByteArray written = name + ".new." + QByteArray::number(::getpid());
    ::unlink(written.constData());
    const int fd = ::open(written.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        // A lock there still decides, even in a folder that cannot be written.
        if (std::string held = Judge(path); !held.empty()) return held;
        return CreateFailure(path);
    }
    const bool whole = ::write(fd, content.constData(), static_cast<std::size_t>(content.size())) == content.size();
    ::close(fd);
    std::string failure = whole ? std::string() : CreateFailure(path);
    // Another program's lock is kept, or taken off and the link tried once more.
    for (int attempt = 0; failure.empty() && path_.isEmpty(); ++attempt) {
        if (::link(written.constData(), name.constData()) == 0) {
            path_ = name;
            content_ = content;
        } else if (errno != EEXIST) {
            failure = CreateFailure(path);
        } else if (failure = Judge(path); failure.empty() && attempt > 0) {
            failure = QStringLiteral("cannot lock it (lock file %1)").arg(path).toStdString();
        }
    }
    ::unlink(written.constData());
    return failure;
}

void DeviceLock::Release() {
    if (path_.isEmpty()) return;
    bool present = false;
    if (LockContent(QFile::decodeName(path_), present) == content_) ::unlink(path_.constData());
    path_.clear();
    content_.clear();
}

std::string DescribeOpenFailure(const QString& portName, const QSerialPort& port) {
    QString reason = port.errorString();
    if (port.error() == QSerialPort::PermissionError) {
        if (reason.contains(QLatin1String("lock")))
            reason = LockFailure(portName);
        else if (const long holder = ProcessHolding(portName); holder != 0 || reason.contains(QLatin1String("busy")))
            reason = InUse(holder);
    }
    return reason.toStdString();
}

}  // namespace kelvra
