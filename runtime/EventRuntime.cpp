// SPDX-License-Identifier: MIT
#include "runtime/EventRuntime.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace kelvra {

namespace {
// A single sleep never outlasts this, however far away the deadline is.
constexpr double LongestSleepSeconds = 3600.0;
}  // namespace

void SetApplicationNames() {
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvra"));
    QCoreApplication::setApplicationName(QStringLiteral("kelvra-netmon"));
    QCoreApplication::setApplicationVersion(
        QString::fromLatin1(App::Version));
}

EventRuntime::EventRuntime(double clockScale) : scale_(clockScale) { clock_.start(); }

int EventRuntime::DoEvents(double until) {
    ThrowIfFinishing();
    const double remaining = std::min((until - Timer()) / scale_, LongestSleepSeconds);
    if (remaining > 0) {
        // Wakes the event loop at the deadline if nothing else does first.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        wake.start(static_cast<int>(std::ceil(remaining * 1000.0)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    ThrowIfFinishing();
    return OpenWindows();
}

double EventRuntime::Timer() { return static_cast<double>(clock_.nsecsElapsed()) * 1e-9 * scale_; }

void EventRuntime::Finish(int status) {
    finishing_ = true;
    QCoreApplication::exit(status);
}

void EventRuntime::ThrowIfFinishing() const {
    if (finishing_) throw ProgramEnding{};
}

}  // namespace kelvra
