#include "serial/QtSerialComm.h"

#include <QMetaObject>

#include "serial/PortNames.h"
#include "serial/WireTrace.h"

#ifdef __linux__
#include <sys/ioctl.h>
#endif

namespace kelvra {

namespace {
// Bounds what the component holds for a reader that falls behind; the
// operating system's own buffer takes the rest.
constexpr qint64 ReadBufferBytes = 64 * 1024;

// The device and the system's reason. A port another program holds shows up
// as a failure to lock the device, which reads like a permission problem.
std::string DescribeFailure(const QString& device, const QSerialPort& port) {
    QString reason = port.errorString();
    if (port.error() == QSerialPort::PermissionError && reason.contains(QLatin1String("lock")))
        reason = QStringLiteral("in use by another program (%1)").arg(reason);
    return (device + QStringLiteral(": ") + reason).toStdString();
}
}  // namespace

QtSerialComm::QtSerialComm(QObject* parent)
    : QObject(parent), monitor_([this](std::int16_t code) { Report(code); }) {
    port_.setReadBufferSize(ReadBufferBytes);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialComm::OnPortError);
}

QtSerialComm::~QtSerialComm() {
    if (port_.isOpen()) port_.close();
}

void QtSerialComm::SetCommPort(std::int16_t port) {
    if (port < 1 || port > 4) throw CommError("Invalid port number " + std::to_string(port));
    commPort_ = port;
}

void QtSerialComm::SetPortOpen(bool open) {
    if (open == open_) {
        if (open) throw CommError("Port already open");
        return;
    }
    if (!open) {
        monitor_.Stop();
        pending_.clear();
        if (port_.isOpen()) port_.close();
        open_ = false;
        lost_ = false;
        return;
    }
    const QString device = QString::fromStdString(DeviceForPort(commPort_));
    // The line settings are applied by open() itself.
    port_.setPortName(device);
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::OddParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) throw CommError(DescribeFailure(device, port_));
    open_ = true;
    lost_ = false;
    monitor_.Start(static_cast<int>(port_.handle()));
}

void QtSerialComm::RequireOpen() const {
    if (!open_) throw CommError("Operation valid only when the port is open");
}

void QtSerialComm::RequireUsable() const {
    RequireOpen();
    if (lost_) throw CommError(port_.portName().toStdString() + ": the device is no longer there");
}

int QtSerialComm::InBufferCount() const {
    RequireUsable();
    return static_cast<int>(port_.bytesAvailable());
}

void QtSerialComm::SetInBufferCount(int count) {
    if (count == 0 && open_ && !lost_) port_.clear(QSerialPort::Input);
}

int QtSerialComm::OutBufferCount() const {
    RequireOpen();
    // Nothing waits to leave a device that is gone.
    if (lost_) return 0;
    qint64 count = port_.bytesToWrite();
#ifdef __linux__
    int queued = 0;
    if (::ioctl(static_cast<int>(port_.handle()), TIOCOUTQ, &queued) == 0) count += queued;
#endif
    return static_cast<int>(count);
}

void QtSerialComm::SetOutBufferCount(int count) {
    if (count == 0 && open_ && !lost_) port_.clear(QSerialPort::Output);
}

void QtSerialComm::Output(const Bytes& bytes) {
    RequireOpen();
    WireTrace::Sent(bytes);
    // Bytes for a device that is gone are lost, as on a cut line; the user
    // has been told once, by the line event.
    if (lost_) return;
    port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    // Hand the bytes to the system now rather than on the next event pass.
    port_.flush();
}

Bytes QtSerialComm::Input() {
    RequireUsable();
    const QByteArray data = port_.readAll();
    Bytes bytes(data.begin(), data.end());
    WireTrace::Received(bytes);
    return bytes;
}

void QtSerialComm::SetBreak(bool on) {
    if (!open_ || lost_ || port_.isBreakEnabled() == on) return;
    if (!port_.setBreakEnabled(on)) throw CommError(port_.errorString().toStdString());
}

void QtSerialComm::Report(std::int16_t code) {
    pending_.push_back(code);
    QMetaObject::invokeMethod(this, &QtSerialComm::DeliverNext, Qt::QueuedConnection);
}

void QtSerialComm::DeliverNext() {
    if (pending_.empty() || !open_) return;
    commEvent_ = pending_.front();
    pending_.pop_front();
    RaiseOnComm();
}

void QtSerialComm::OnPortError(QSerialPort::SerialPortError error) {
    // A device that vanished fails its reads: with an error (a USB adapter
    // pulled out) or with end-of-file (a terminal hung up).
    const bool vanished = error == QSerialPort::ResourceError || error == QSerialPort::ReadError;
    if (!vanished || !open_ || lost_) return;
    // Stop listening to it (its descriptor would keep signalling) and tell the user once.
    lost_ = true;
    monitor_.Stop();
    port_.close();
    Report(CommEventCode::DeviceLost);
}

}  // namespace kelvra
