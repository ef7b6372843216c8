// SPDX-License-Identifier: MIT
#pragma once
// Serial devices on Linux: how a device path reaches QSerialPort, taking its
// lock, and what to tell the user when the device cannot be opened.

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <string>

#include "platform/posix/FolderLock.h"

class QSerialPort;

namespace kelvra {

// A device path as the lock and QSerialPort are to name it. A symbolic link
// (/dev/serial/by-id/...) is followed to its device, so that every name of one
// device shares one lock; a name that a QString cannot carry (bytes that are
// not UTF-8) is locked under its name below /dev where it has one.
// QSerialPort opens the device through this process's descriptor of it
// (/proc/<pid>/fd/<n>): the lock file it makes of that name is private to the
// process, so its own lock code never looks at the device's real lock, which
// DeviceLock alone takes and judges.
class NativeDevice {
public:
    explicit NativeDevice(const std::string& path);
    ~NativeDevice();
    NativeDevice(const NativeDevice&) = delete;
    NativeDevice& operator=(const NativeDevice&) = delete;

    // The device's name, which its lock file is named after.
    const QString& PortName() const { return portName_; }
    // The name QSerialPort opens it by.
    const QString& OpenName() const { return openName_; }
    // Why the device cannot be named (errno: it is not there, a folder on the
    // way cannot be searched), 0 if it can.
    int OpenError() const { return openError_; }

private:
    QString portName_;
    QString openName_;
    int pathFd_ = -1;
    int openError_ = 0;
};

// Held while a device's lock is taken: from looking at the lock file another
// program may have left to writing ours. Taking a lock is then one step
// among the processes of this program, however many start at once. Waits for
// another run's step at most a few seconds, and not at all once `interrupted`
// says the run is ending (then Interrupted() is true).
class LockTaking {
public:
    LockTaking(const QString& portName, const std::function<bool()>& interrupted);
    ~LockTaking();
    LockTaking(const LockTaking&) = delete;
    LockTaking& operator=(const LockTaking&) = delete;

    bool Interrupted() const { return lock_ && lock_->Outcome() == System::FolderLock::State::GaveUp; }

private:
    std::optional<System::FolderLock> lock_;
};

// The lock file of a device, as serial programs share it under /var/lock
// (or the first lock folder that can be used). Taken in one step: the file
// appears with this process's number already in it ("pid\nprogram\nhost\n"),
// so nobody ever reads it empty. Another program's lock is judged here alone:
// a live process keeps it; one whose process has ended, or one that stays
// empty for StaleEmptySeconds (its writer killed between creating and
// writing it), is taken over. Released when the port closes, only if it
// still holds what this process wrote.
class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock() { Release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock of `portName`; empty when taken, else why not ("in use
    // by another program (process <pid>)", ...). Call while holding LockTaking.
    std::string Take(const QString& portName);
    void Release();

    static constexpr double StaleEmptySeconds = 2.0;

private:
    QByteArray path_;
    QByteArray content_;
};

// Why QSerialPort failed to open `portName` (the name it was given). It says what really failed: a lock or the device held by another
// program (naming its process where the system tells), a lock file that
// cannot be created, or the system's own text.
std::string DescribeOpenFailure(const QString& portName, const QSerialPort& port);

}  // namespace kelvra
