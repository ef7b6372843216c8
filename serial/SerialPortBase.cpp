// SPDX-License-Identifier: MIT
#include "serial/SerialPortBase.h"

#include <QMetaObject>

#include "serial/WireTrace.h"

namespace kelvra {

SerialPortBase::SerialPortBase(PortMap ports, QObject* parent) : QObject(parent), ports_(std::move(ports)) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(static_cast<int>(LineQuietSeconds * 1000));
    connect(&quiet_, &QTimer::timeout, this, &SerialPortBase::QuietCheck);
}

void SerialPortBase::SetCommPort(std::int16_t port) {
    if (port < 1 || port > PortMap::Ports) throw CommError("Invalid port number " + std::to_string(port));
    commPort_ = port;
}

void SerialPortBase::SetPortOpen(bool open) {
    if (open == open_) {
        if (open) throw CommError("Port already open");
        return;
    }
    if (!open) {
        CloseDevice();
        // No event is pending and nothing is lost any more.
        quiet_.stop();
        pending_.clear();
        open_ = lost_ = false;
        if (Observer() != nullptr) Observer()->Closed();
        return;
    }
    device_ = ports_.Device(commPort_);
    try {
        OpenDevice();
    } catch (const CommError& failure) {
        if (Observer() != nullptr) Observer()->OpenFailed(device_, commPort_, failure.what());
        throw;
    }
}

void SerialPortBase::MarkOpened() {
    open_ = true;
    lost_ = false;
    if (Observer() != nullptr) Observer()->Opened(device_, commPort_, "9600 8O1");
}

void SerialPortBase::MarkLost() {
    if (lost_) return;
    lost_ = true;
    Report(CommEventCode::DeviceLost);
}

void SerialPortBase::RequireOpen() const {
    if (!open_) throw CommError("Operation valid only when the port is open");
}

bool SerialPortBase::AcceptOutput(const Bytes& bytes) {
    RequireOpen();
    if (listenOnly_) throw CommError(device_, "open for listening only");
    // Bytes for a device that is gone are lost, as on a cut line; the user
    // has been told once, by the line event.
    if (lost_) return false;
    WireTrace::Sent(bytes);
    if (Observer() != nullptr) Observer()->Written(bytes);
    return true;
}

void SerialPortBase::RequireUsable() const {
    RequireOpen();
    if (lost_) throw Gone();
}

void SerialPortBase::TellRead(const Bytes& bytes) {
    WireTrace::Received(bytes);
    if (Observer() != nullptr && !bytes.empty()) {
        Observer()->Read(bytes);
        quiet_.start();
    }
}

void SerialPortBase::QuietCheck() {
    if (!open_ || lost_ || Observer() == nullptr) return;
    if (InBufferCount() > 0) {
        quiet_.start();
        return;
    }
    Observer()->LineQuiet();
}

void SerialPortBase::Report(std::int16_t code) {
    if (Observer() != nullptr) Observer()->LineEvent(code, code == CommEventCode::DeviceLost ? Gone().what() : std::string());
    pending_.push_back(code);
    QMetaObject::invokeMethod(this, &SerialPortBase::DeliverNext, Qt::QueuedConnection);
}

void SerialPortBase::DeliverNext() {
    if (pending_.empty() || !open_) return;
    commEvent_ = pending_.front();
    pending_.pop_front();
    RaiseOnComm();
}

CommError SerialPortBase::Gone() const { return CommError(device_, "the device is gone"); }

const CommError* SerialPortBase::CommEventError() const {
    if (commEvent_ != CommEventCode::DeviceLost) return nullptr;
    eventError_ = Gone();
    return &*eventError_;
}

}  // namespace kelvra
