// SPDX-License-Identifier: MIT
#pragma once

#include "serial/PortMap.h"
#include "serial/SerialPortBase.h"

namespace kelvra {

// The serial component on the Windows communications API: 9600 baud, odd
// parity, 8 data bits, 1 stop bit, no flow control, bytes passed unchanged.
// Reads and writes are overlapped operations ending in completion routines
// that run on the owner's thread while its event loop waits alertably; line
// events come from WaitCommEvent. Any failure of them but the cancel the
// component asks for when closing is a device gone. The Win32 declarations
// stay in the .cpp file.
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
    // One opening of the port: its handle and every operation in flight,
    // which lives until the last of their completions has run.
    struct Session;
    friend struct Session;
    // Bytes in the driver's receive and transmit queues; keeps the line
    // errors it reports for the next line event.
    struct Queues {
        unsigned long in = 0, out = 0;
    };
    void OpenDevice() override;
    void CloseDevice() override;
    Queues Status() const;
    // Runs the completions waiting for this thread, so that what arrived is
    // counted even when its event loop has not waited alertably (a window
    // being dragged runs Windows' own loop).
    void RunCompletions() const;
    void StartRead();
    void ReadDone(unsigned long error, unsigned long count);
    void StartWrite();
    void WriteDone(unsigned long error);
    void StartEventWait();
    void EventDone();
    // A read, write or event wait failed with `error` (GetLastError's code).
    void Failed(unsigned long error, bool read = false, unsigned long count = 1);

    Session* session_ = nullptr;
    void* ownerThread_ = nullptr;
    Bytes received_;
    // Bytes queued but not yet handed to the driver.
    Bytes unsent_;
    std::size_t inFlight_ = 0;
    bool breakOn_ = false;
};

}  // namespace kelvra
