// SPDX-License-Identifier: MIT
#include "serial/linux/QtSerialComm.h"

#include <QMetaObject>

#include "serial/Devices.h"
#include "serial/linux/DeviceAccess.h"
#include "serial/PlatformSerial.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kelvra {

namespace {
// Bounds what the component holds for a reader that falls behind; the
// operating system's own buffer takes the rest.
constexpr qint64 ReadBufferBytes = 64 * 1024;

}  // namespace

QtSerialComm::QtSerialComm(PortMap ports, QObject* parent)
    : SerialPortBase(std::move(ports), parent), monitor_([this](std::int16_t code) { Report(code); }) {
    port_.setReadBufferSize(ReadBufferBytes);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialComm::OnPortError);
}

QtSerialComm::~QtSerialComm() {
    if (port_.isOpen()) port_.close();
    lock_.Release();
}

void QtSerialComm::CloseDevice() {
    monitor_.Stop();
    if (port_.isOpen()) port_.close();
    lock_.Release();
}

void QtSerialComm::OpenDevice() {
    const std::string& named = Device();
    const NativeDevice device(named);
    // The line settings are applied by open() itself.
    port_.setPortName(device.OpenName());
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::OddParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    auto fail = [&](std::string failure) {
        if (const std::string hint = AdapterHint(named, CommPort(), SerialDevices()); !hint.empty()) failure += "\n" + hint;
        throw CommError(named, failure);
    };
    if (device.OpenError() != 0) fail(std::strerror(device.OpenError()));
    {
        // From reading another program's lock to writing ours, one run at a time.
        const LockTaking taking(device.PortName(), [this] { return Interrupted(); });
        if (taking.Interrupted()) throw CommError(named, "not opened, the run is ending");
        if (const std::string held = lock_.Take(device.PortName()); !held.empty()) throw CommError(named, held);
    }
    if (!port_.open(ListenOnly() ? QIODevice::ReadOnly : QIODevice::ReadWrite)) {
        const std::string failure = DescribeOpenFailure(device.OpenName(), port_);
        lock_.Release();
        fail(failure);
    }
    MarkOpened();
    monitor_.Start(port_.handle());
}

int QtSerialComm::InBufferCount() const {
    RequireUsable();
    return static_cast<int>(port_.bytesAvailable());
}

void QtSerialComm::SetInBufferCount(int count) {
    if (count == 0 && PortOpen() && !Lost()) port_.clear(QSerialPort::Input);
}

int QtSerialComm::OutBufferCount() const {
    RequireOpen();
    // Nothing waits to leave a device that is gone.
    if (Lost()) return 0;
    qint64 count = port_.bytesToWrite();
    int queued = 0;
    if (::ioctl(port_.handle(), TIOCOUTQ, &queued) == 0) count += queued;
    return static_cast<int>(count);
}

void QtSerialComm::SetOutBufferCount(int count) {
    if (count == 0 && PortOpen() && !Lost()) port_.clear(QSerialPort::Output);
}

void QtSerialComm::Output(const Bytes& bytes) {
    if (!AcceptOutput(bytes)) return;
    port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    // Hand the bytes to the system now rather than on the next event pass.
    port_.flush();
}

Bytes QtSerialComm::Input() {
    RequireUsable();
    const QByteArray data = port_.readAll();
    Bytes bytes(data.begin(), data.end());
    TellRead(bytes);
    return bytes;
}

void QtSerialComm::SetBreak(bool on) {
    if (!PortOpen() || Lost() || port_.isBreakEnabled() == on) return;
    if (!port_.setBreakEnabled(on)) throw CommError(port_.errorString().toStdString());
}

void QtSerialComm::OnPortError(QSerialPort::SerialPortError error) {
    const int systemCode = errno;
    const bool transfer = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                          error == QSerialPort::WriteError;
    if (!transfer || !PortOpen() || Lost()) return;
    // Judged once Qt has finished with the failed transfer.
    QMetaObject::invokeMethod(
        this, [this, systemCode] { JudgeTransferError(systemCode); }, Qt::QueuedConnection);
}

void QtSerialComm::JudgeTransferError(int systemCode) {
    if (!PortOpen() || Lost() || !port_.isOpen()) return;
    if (!DeviceGone(systemCode)) {
        // A held line (a write that would block) or a passing read failure:
        // the bytes wait in the transmit buffer and the stages wait as usual.
        port_.clearError();
        // Qt stops listening after some read failures; an empty read listens again.
        if (port_.bytesAvailable() == 0) port_.readAll();
        return;
    }
    // Stop listening to it (its descriptor would keep signalling) and tell the user once.
    monitor_.Stop();
    port_.close();
    MarkLost();
}

bool QtSerialComm::DeviceGone(int systemCode) const {
    // Gone: EIO, ENXIO or ENODEV from the device, a hung-up line (end-of-file), or its node removed.
    if (systemCode == EIO || systemCode == ENXIO || systemCode == ENODEV) return true;
    pollfd line{port_.handle(), POLLIN | POLLOUT, 0};
    if (::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    struct stat node {};
    return ::stat(Device().c_str(), &node) != 0 && (errno == ENOENT || errno == ENODEV || errno == ENXIO);
}

std::unique_ptr<SerialComm> MakeLocalSerialComm(PortMap ports) { return std::make_unique<QtSerialComm>(std::move(ports)); }

}  // namespace kelvra
