// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QSerialPort>

#include <deque>

#include "serial/LineMonitor.h"
#include "serial/PortMap.h"
#include "serial/SerialComm.h"

namespace kelvra {

// The serial component on QSerialPort: 9600 baud, odd parity, 8 data bits,
// 1 stop bit, no flow control, bytes passed unchanged. Received bytes move
// into its buffer while the owner processes events.
class QtSerialComm : public QObject, public SerialComm {
    Q_OBJECT
public:
    // `ports` says which device each port number stands for.
    explicit QtSerialComm(PortMap ports = {}, QObject* parent = nullptr);
    ~QtSerialComm() override;

    void SetCommPort(std::int16_t port) override;
    bool PortOpen() const override { return open_; }
    void SetPortOpen(bool open) override;
    int InBufferCount() const override;
    void SetInBufferCount(int count) override;
    int OutBufferCount() const override;
    void SetOutBufferCount(int count) override;
    void Output(const Bytes& bytes) override;
    Bytes Input() override;
    void SetBreak(bool on) override;
    std::int16_t CommEvent() const override { return commEvent_; }
    std::string CommEventText() const override;

private:
    void RequireOpen() const;
    // Open, with the device still there.
    void RequireUsable() const;
    void Report(std::int16_t code);
    void DeliverNext();
    void OnPortError(QSerialPort::SerialPortError error);
    // Decides, after a transfer failed, whether the device is really gone.
    void JudgeTransferError(int systemCode);
    bool DeviceGone(int systemCode) const;
    // "<device>: the device is gone", for the event and for operations after it.
    std::string GoneText() const;

    PortMap ports_;
    QSerialPort port_;
    LineMonitor monitor_;
    std::deque<std::int16_t> pending_;
    std::int16_t commPort_ = 1;
    std::int16_t commEvent_ = 0;
    bool open_ = false;
    // The device went away while open; the port stays open until closed.
    // Reads fail at once, so a waiting stage ends; writes are dropped.
    bool lost_ = false;
    // The device the port was opened on, as the user named it.
    std::string device_;
};

}  // namespace kelvra
