// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <utility>

namespace kelvra {

// An open port's native handle: a descriptor on Unix, a HANDLE on Windows.
using NativeHandle = decltype(std::declval<QSerialPort&>().handle());

// Watches an open serial device for line events the operating system counts
// (framing, overrun, parity, break) and for changes of the modem lines (CTS,
// DSR, CD, ring), and reports each as an event code. A device that cannot
// report them (a pseudo-terminal) is left alone without a word.
class LineMonitor : public QObject {
    Q_OBJECT
public:
    explicit LineMonitor(std::function<void(std::int16_t)> report, QObject* parent = nullptr);

    // Starts watching the device behind an open port's native handle.
    void Start(NativeHandle handle);
    void Stop();

private:
    void Poll();

    std::function<void(std::int16_t)> report_;
    QTimer timer_;
    NativeHandle handle_{};
    bool counters_ = false;
    bool modemLines_ = false;
    struct Counts {
        int frame = 0, overrun = 0, bufOverrun = 0, parity = 0, brk = 0;
    } counts_;
    int lines_ = 0;
};

}  // namespace kelvra
