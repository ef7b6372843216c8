// SPDX-License-Identifier: MIT
#include "serial/SerialSwitch.h"

#include "serial/PlatformSerial.h"
#include "serial/network/NetworkAddress.h"
#include "serial/network/NetworkSerialComm.h"

namespace kelvra {

SerialSwitch::SerialSwitch(PortMap ports, std::unique_ptr<SerialComm> local, std::unique_ptr<SerialComm> network)
    : ports_(std::move(ports)), local_(std::move(local)), network_(std::move(network)), active_(local_.get()) {
    for (SerialComm* each : {local_.get(), network_.get()}) {
        each->SetOnComm([this] { RaiseOnComm(); });
        each->SetInterrupted([this] { return Interrupted(); });
    }
}

void SerialSwitch::SetCommPort(std::int16_t port) {
    local_->SetCommPort(port);
    network_->SetCommPort(port);
    port_ = port;
}

void SerialSwitch::SetListenOnly(bool listenOnly) {
    local_->SetListenOnly(listenOnly);
    network_->SetListenOnly(listenOnly);
}

void SerialSwitch::SetPortOpen(bool open) {
    if (open && !active_->PortOpen()) {
        active_ = NetworkDevice(ports_.Device(port_)) ? network_.get() : local_.get();
        active_->SetObserver(Observer());
    }
    active_->SetPortOpen(open);
}

std::unique_ptr<SerialComm> MakeSerialComm(PortMap ports) {
    return std::make_unique<SerialSwitch>(ports, MakeLocalSerialComm(ports), std::make_unique<NetworkSerialComm>(ports));
}

}  // namespace kelvra
