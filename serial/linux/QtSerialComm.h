// SPDX-License-Identifier: MIT
#pragma once

#include <QSerialPort>

#include "serial/linux/DeviceAccess.h"
#include "serial/linux/LineMonitor.h"
#include "serial/PortMap.h"
#include "serial/SerialPortBase.h"

namespace kelvra {

// The serial component on QSerialPort: 9600 baud, odd parity, 8 data bits,
// 1 stop bit, no flow control, bytes passed unchanged. Received bytes move
// into its buffer while the owner processes events.
class QtSerialComm : public SerialPortBase {
    Q_OBJECT
public:
    // `ports` says which device each port number stands for.
    explicit QtSerialComm(PortMap ports = {}, QObject* parent = nullptr);
    ~QtSerialComm() override;

    int InBufferCount() const override;
    void SetInBufferCount(int count) override;
    int OutBufferCount() const override;
    void SetOutBufferCount(int count) override;
    void Output(const Bytes& bytes) override;
    Bytes Input() override;
    void SetBreak(bool on) override;

private:
    void OpenDevice() override;
    void CloseDevice() override;
    void OnPortError(QSerialPort::SerialPortError error);
    // Decides, after a transfer failed, whether the device is really gone.
    void JudgeTransferError(int systemCode);
    bool DeviceGone(int systemCode) const;

    QSerialPort port_;
    LineMonitor monitor_;
    DeviceLock lock_;
};

}  // namespace kelvra
