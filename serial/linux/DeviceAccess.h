// SPDX-License-Identifier: MIT
#pragma once
// Serial devices on Linux: how a device path reaches QSerialPort, taking its
// lock, and what to tell the user when the device cannot be opened.

#include <QString>

#include <string>
#include <vector>

class QSerialPort;

namespace kelvra {

// A device path in the platform's file-name encoding, as QSerialPort is to
// open it. A symbolic link (/dev/serial/by-id/...) is followed to its device,
// so that every name of one device shares one lock; a name that a QString
// cannot carry (bytes that are not UTF-8) is reached through a descriptor.
class NativeDevice {
public:
    explicit NativeDevice(const std::string& path);
    ~NativeDevice();
    NativeDevice(const NativeDevice&) = delete;
    NativeDevice& operator=(const NativeDevice&) = delete;

    const QString& PortName() const { return portName_; }

private:
    QString portName_;
    int pathFd_ = -1;
};

// Held while a device's lock is taken: from looking at the lock file another
// program may have left to the open that creates ours. Taking a lock is then
// one step among the processes of this program, however many start at once.
class LockTaking {
public:
    explicit LockTaking(const QString& portName);
    ~LockTaking();
    LockTaking(const LockTaking&) = delete;
    LockTaking& operator=(const LockTaking&) = delete;

private:
    int folder_ = -1;
};

// Why another program's lock keeps the device from being opened, as
// "in use by another program (process <pid>)" or a word on a lock file that
// names no process; empty when the device is not locked. A lock file being
// written this moment (empty or half-written) is read again for a short while
// before anything is said of it. A lock left by a process that has ended is
// taken off, so that the open takes it over, but only while it still holds
// what was read; another program's lock file is never changed while its
// process lives. Call while holding LockTaking.
std::string ForeignLock(const QString& portName);

// "<device>: <reason>" after QSerialPort failed to open `portName`. The
// reason says what really failed: a lock or the device held by another
// program (naming its process where the system tells), a lock file that
// cannot be created, or the system's own text.
std::string DescribeOpenFailure(const std::string& device, const QString& portName, const QSerialPort& port);

}  // namespace kelvra
