// SPDX-License-Identifier: MIT
#pragma once

#include <memory>

#include "serial/PortMap.h"
#include "serial/SerialPortBase.h"

namespace kelvra {

// The serial component on the Windows communications API: 9600 baud, odd
// parity, 8 data bits, 1 stop bit, no flow control, bytes passed unchanged.
// Reads, writes and line events are overlapped operations whose events the
// owner's event loop waits on (never a polling timer): a read completes as
// soon as one byte arrives. The Win32 declarations stay in the .cpp file.
class WinSerialComm : public SerialPortBase {
    Q_OBJECT
public:
    explicit WinSerialComm(PortMap ports = {}, QObject* parent = nullptr);
    ~WinSerialComm() override;

    int InBufferCount() const override;
    void SetInBufferCount(int count) override;
    int OutBufferCount() const override;
    void SetOutBufferCount(int count) override;
    void Output(const Bytes& bytes) override;
    Bytes Input() override;
    void SetBreak(bool on) override;

private:
    struct Io;
    // Bytes in the driver's receive and transmit queues; keeps the line
    // errors it reports for the next line event.
    struct Queues {
        unsigned long in = 0, out = 0;
    };
    Queues Status() const;
    void OpenDevice() override;
    void CloseDevice() override;
    void StartRead();
    void ReadDone(unsigned long error, unsigned long count);
    void StartWrite();
    void WriteDone(unsigned long error, unsigned long count);
    void StartEventWait();
    void EventDone();

    std::unique_ptr<Io> io_;
    Bytes received_;
    // Bytes queued but not yet handed to the driver, the one write in flight first.
    Bytes unsent_;
    std::size_t inFlight_ = 0;
    bool breakOn_ = false;
};

}  // namespace kelvra
