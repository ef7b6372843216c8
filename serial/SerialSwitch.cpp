// SPDX-License-Identifier: MIT
#include "serial/SerialSwitch.h"

#include "serial/PlatformSerial.h"
#include "serial/network/NetworkSerialComm.h"

namespace kelvra {

SerialSwitch::SerialSwitch(PortMap ports, Components components)
    : ports_(std::move(ports)), components_(std::move(components)),
      active_(components_[static_cast<std::size_t>(DeviceComponent::Local)].get()) {
    for (const auto& each : components_) {
        each->SetOnComm([this] { RaiseOnComm(); });
        each->SetInterrupted([this] { return Interrupted(); });
    }
}

void SerialSwitch::SetCommPort(std::int16_t port) {
    for (const auto& each : components_) each->SetCommPort(port);
    port_ = port;
}

void SerialSwitch::SetListenOnly(bool listenOnly) {
    for (const auto& each : components_) each->SetListenOnly(listenOnly);
}

void SerialSwitch::SetPortOpen(bool open) {
    if (open && !active_->PortOpen()) {
        active_ = components_[static_cast<std::size_t>(DeviceKindOf(ports_.Device(port_)).component)].get();
        active_->SetObserver(Observer());
    }
    active_->SetPortOpen(open);
}

// One component of each kind, in DeviceComponent's order.
std::unique_ptr<SerialComm> MakeSerialComm(PortMap ports) {
    return std::make_unique<SerialSwitch>(
        ports, SerialSwitch::Components{MakeLocalSerialComm(ports), std::make_unique<NetworkSerialComm>(ports)});
}

}  // namespace kelvra
