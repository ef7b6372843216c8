// SPDX-License-Identifier: MIT
#include "serial/linux/LineMonitor.h"

#include "serial/SerialComm.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace kelvra {

namespace {
constexpr int PollMs = 100;
}

LineMonitor::LineMonitor(std::function<void(std::int16_t)> report, QObject* parent)
    : QObject(parent), report_(std::move(report)) {
    timer_.setInterval(PollMs);
    connect(&timer_, &QTimer::timeout, this, &LineMonitor::Poll);
}

void LineMonitor::Start(NativeHandle handle) {
    handle_ = handle;
    const int fd = handle_;
    serial_icounter_struct icount{};
    counters_ = ::ioctl(fd, TIOCGICOUNT, &icount) == 0;
    if (counters_) counts_ = {icount.frame, icount.overrun, icount.buf_overrun, icount.parity, icount.brk};
    modemLines_ = ::ioctl(fd, TIOCMGET, &lines_) == 0;
    if (counters_ || modemLines_) timer_.start();
}

void LineMonitor::Poll() {
    const int fd = handle_;
    if (counters_) {
        serial_icounter_struct icount{};
        if (::ioctl(fd, TIOCGICOUNT, &icount) == 0) {
            const Counts now{icount.frame, icount.overrun, icount.buf_overrun, icount.parity, icount.brk};
            if (now.frame != counts_.frame) report_(CommEventCode::Frame);
            if (now.overrun != counts_.overrun) report_(CommEventCode::Overrun);
            if (now.bufOverrun != counts_.bufOverrun) report_(CommEventCode::RxOver);
            if (now.parity != counts_.parity) report_(CommEventCode::RxParity);
            if (now.brk != counts_.brk) report_(CommEventCode::Break);
            counts_ = now;
        }
    }
    if (modemLines_) {
        int lines = 0;
        if (::ioctl(fd, TIOCMGET, &lines) == 0) {
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
    handle_ = {};
    counters_ = modemLines_ = false;
}

}  // namespace kelvra
