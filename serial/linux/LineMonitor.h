// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>

namespace kelvra {

// Watches an open serial device for line events the operating system counts
// (framing, overrun, parity, break) and for changes of the modem lines (CTS,
// DSR, CD, ring), and reports each as an event code. A device that cannot
// report them (a pseudo-terminal) is left alone without a word.
class LineMonitor : public QObject {
    Q_OBJECT
public:
    explicit LineMonitor(std::function<void(std::int16_t)> report, QObject* parent = nullptr);

    // Starts watching the device open as `fd`.
    void Start(int fd);
    void Stop();

private:
    void Poll();

    std::function<void(std::int16_t)> report_;
    QTimer timer_;
    int fd_ = -1;
    bool counters_ = false;
    bool modemLines_ = false;
    // The driver's counts of framing errors, overruns, buffer overruns, parity errors and breaks.
    std::array<int, 5> counts_{};
    int lines_ = 0;
};

}  // namespace kelvra
