// SPDX-License-Identifier: MIT
#include "serial/linux/LineMonitor.h"

#include "serial/SerialComm.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace kelvra {

namespace {
constexpr int PollMs = 100;
// The event each of the driver's fault counts is reported as, in the order Counts gives them.
constexpr std::int16_t CountedEvents[] = {CommEventCode::Frame, CommEventCode::Overrun, CommEventCode::RxOver,
                                          CommEventCode::RxParity, CommEventCode::Break};

// The fault counts of the device open as `fd`, if it keeps them.
bool Counts(int fd, std::array<int, 5>& counts) {
    serial_icounter_struct icount{};
    if (::ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counts = {icount.frame, icount.overrun, icount.buf_overrun, icount.parity, icount.brk};
    return true;
}
}  // namespace

LineMonitor::LineMonitor(std::function<void(std::int16_t)> report, QObject* parent)
    : QObject(parent), report_(std::move(report)) {
    timer_.setInterval(PollMs);
    connect(&timer_, &QTimer::timeout, this, &LineMonitor::Poll);
}

void LineMonitor::Start(int fd) {
    fd_ = fd;
    counters_ = Counts(fd, counts_);
    modemLines_ = ::ioctl(fd, TIOCMGET, &lines_) == 0;
    if (counters_ || modemLines_) timer_.start();
}

void LineMonitor::Poll() {
    std::array<int, 5> now{};
    if (counters_ && Counts(fd_, now)) {
        for (std::size_t i = 0; i < now.size(); ++i)
            if (now[i] != counts_[i]) report_(CountedEvents[i]);
        counts_ = now;
    }
    if (modemLines_) {
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
            const int changed = lines ^ lines_;
            if (changed & TIOCM_CTS) report_(CommEventCode::CtsChange);
            if (changed & TIOCM_DSR) report_(CommEventCode::DsrChange);
            if (changed & TIOCM_CAR) report_(CommEventCode::CdChange);
            if ((changed & TIOCM_RNG) && (lines & TIOCM_RNG)) report_(CommEventCode::Ring);
            lines_ = lines;
        }
    }
}

void LineMonitor::Stop() {
    timer_.stop();
    fd_ = -1;
    counters_ = modemLines_ = false;
}

}  // namespace kelvra
