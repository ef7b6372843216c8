// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <memory>

#include "serial/DeviceKinds.h"
#include "serial/PortMap.h"
#include "serial/SerialComm.h"

namespace kelvra {

// The serial component its users see: at each opening it takes the one for
// the kind of device the port stands for then (DeviceKindOf: the platform's
// own for a device file or COM port, the network one for a device server's
// address), and passes every operation, the observer, line events and the
// run's end through to it.
class SerialSwitch : public SerialComm {
public:
    using Components = std::array<std::unique_ptr<SerialComm>, DeviceComponents>;
    SerialSwitch(PortMap ports, Components components);

    void SetCommPort(std::int16_t port) override;
    bool PortOpen() const override { return active_->PortOpen(); }
    void SetPortOpen(bool open) override;
    void SetListenOnly(bool listenOnly) override;
    int InBufferCount() const override { return active_->InBufferCount(); }
    void SetInBufferCount(int count) override { active_->SetInBufferCount(count); }
    int OutBufferCount() const override { return active_->OutBufferCount(); }
    void SetOutBufferCount(int count) override { active_->SetOutBufferCount(count); }
    void Output(const Bytes& bytes) override { active_->Output(bytes); }
    Bytes Input() override { return active_->Input(); }
    void SetBreak(bool on) override { active_->SetBreak(on); }
    std::int16_t CommEvent() const override { return active_->CommEvent(); }
    const CommError* CommEventError() const override { return active_->CommEventError(); }

private:
    PortMap ports_;
    Components components_;
    SerialComm* active_;
    std::int16_t port_ = 1;
};

}  // namespace kelvra
