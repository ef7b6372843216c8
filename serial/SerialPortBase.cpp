// SPDX-License-Identifier: MIT
#include "serial/SerialPortBase.h"

#include <QMetaObject>

#include "serial/WireTrace.h"

namespace kelvra {

SerialPortBase::SerialPortBase(PortMap ports, QObject* parent) : QObject(parent), ports_(std::move(ports)) {}

void SerialPortBase::SetCommPort(std::int16_t port) {
    if (port < 1 || port > 4) throw CommError("Invalid port number " + std::to_string(port));
    commPort_ = port;
}

const std::string& SerialPortBase::ChooseDevice() {
    device_ = ports_.Device(commPort_);
    return device_;
}

void SerialPortBase::MarkOpened() {
    open_ = true;
    lost_ = false;
    if (Observer() != nullptr) Observer()->Opened(device_, commPort_, "9600 8O1");
}

void SerialPortBase::MarkClosed() {
    pending_.clear();
    open_ = false;
    lost_ = false;
}

void SerialPortBase::MarkLost() {
    if (lost_) return;
    lost_ = true;
    Report(CommEventCode::DeviceLost);
}

void SerialPortBase::RequireOpen() const {
    if (!open_) throw CommError("Operation valid only when the port is open");
}

void SerialPortBase::RequireUsable() const {
    RequireOpen();
    if (lost_) throw CommError(GoneText());
}

void SerialPortBase::TellWritten(const Bytes& bytes) {
    WireTrace::Sent(bytes);
    if (Observer() != nullptr) Observer()->Written(bytes);
}

void SerialPortBase::TellRead(const Bytes& bytes) {
    WireTrace::Received(bytes);
    if (Observer() != nullptr && !bytes.empty()) Observer()->Read(bytes);
}

void SerialPortBase::Report(std::int16_t code) {
    if (Observer() != nullptr) Observer()->LineEvent(code, code == CommEventCode::DeviceLost ? GoneText() : std::string());
    pending_.push_back(code);
    QMetaObject::invokeMethod(this, &SerialPortBase::DeliverNext, Qt::QueuedConnection);
}

void SerialPortBase::DeliverNext() {
    if (pending_.empty() || !open_) return;
    commEvent_ = pending_.front();
    pending_.pop_front();
    RaiseOnComm();
}

std::string SerialPortBase::GoneText() const { return device_ + ": the device is gone"; }

std::string SerialPortBase::CommEventText() const {
    return commEvent_ == CommEventCode::DeviceLost ? GoneText() : std::string();
}

}  // namespace kelvra
