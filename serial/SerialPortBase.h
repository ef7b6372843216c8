// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

#include <deque>
#include <optional>
#include <string>

#include "serial/PortMap.h"
#include "serial/SerialComm.h"

namespace kelvra {

// What every serial component shares, whatever drives the line: the port
// number and the device it stands for, the open and lost states, the wire
// trace and the observer, and line events queued and delivered one at a time
// from the owner's event processing, never from inside an operation.
class SerialPortBase : public QObject, public SerialComm {
public:
    explicit SerialPortBase(PortMap ports, QObject* parent = nullptr);

    void SetCommPort(std::int16_t port) override;
    bool PortOpen() const override { return open_; }
    // Opens the chosen port's device (OpenDevice) or closes it (CloseDevice);
    // the observer hears of either, and of an open that failed.
    void SetPortOpen(bool open) final;
    void SetListenOnly(bool listenOnly) override { listenOnly_ = listenOnly; }
    std::int16_t CommEvent() const override { return commEvent_; }
    const CommError* CommEventError() const override;

protected:
    // Opens Device() at 9600 8O1 and calls MarkOpened once it is open. Throws CommError.
    virtual void OpenDevice() = 0;
    // Ends every operation on the device and closes it.
    virtual void CloseDevice() = 0;

    const std::string& Device() const { return device_; }
    bool ListenOnly() const { return listenOnly_; }
    std::int16_t CommPort() const { return commPort_; }
    bool Lost() const { return lost_; }

    // The port is open at 9600 8O1; the observer hears of it.
    void MarkOpened();
    // The device went away while open: reported once as DeviceLost. The port
    // stays open until closed; reads fail at once, writes are dropped.
    void MarkLost();

    void RequireOpen() const;
    // Output's common part: open and not only listening (or CommError), the
    // bytes told to the wire trace and the observer; false when they are to
    // be dropped (the device is gone).
    bool AcceptOutput(const Bytes& bytes);
    // Open, with the device still there.
    void RequireUsable() const;

    // Bytes read from the line, for the wire trace and the observer.
    void TellRead(const Bytes& bytes);
    // Queues a line event for the OnComm handler; the observer hears of it at once.
    void Report(std::int16_t code);

private:
    void DeliverNext();
    // The line has been quiet since the last read; bytes waiting unread are not quiet.
    void QuietCheck();
    // "<device>: the device is gone", for the event and for operations after it.
    CommError Gone() const;

    PortMap ports_;
    std::deque<std::int16_t> pending_;
    QTimer quiet_;
    std::int16_t commPort_ = 1;
    std::int16_t commEvent_ = 0;
    bool open_ = false;
    bool lost_ = false;
    bool listenOnly_ = false;
    // The device the port was opened on, as the user named it.
    std::string device_;
    // The failure CommEventError last gave, kept for the pointer it returned.
    mutable std::optional<CommError> eventError_;
};

}  // namespace kelvra
