#include "app/QtRuntime.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvra {

namespace {
// A single sleep never outlasts this, however far away the deadline is.
constexpr double LongestSleepSeconds = 3600.0;
}  // namespace

QtRuntime::QtRuntime(double clockScale, std::function<void()> end) : scale_(clockScale), end_(std::move(end)) {
    clock_.start();
}

int QtRuntime::MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon, const std::string& caption) {
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(caption.empty() ? App::Title : caption));
    box.setText(QString::fromStdString(prompt));
    switch (icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    }
    switch (buttons) {
    case MsgButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case MsgButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MsgButtons::AbortRetryIgnore:
        box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    case QMessageBox::Abort: return MsgAnswer::Abort;
    case QMessageBox::Retry: return MsgAnswer::Retry;
    case QMessageBox::Ignore: return MsgAnswer::Ignore;
    default: return MsgAnswer::Ok;
    }
}

void QtRuntime::Beep() { QApplication::beep(); }

void QtRuntime::SetMousePointer(MousePointer pointer) {
    const QCursor cursor(pointer == MousePointer::Hourglass ? Qt::WaitCursor : Qt::ArrowCursor);
    if (QApplication::overrideCursor() != nullptr)
        QApplication::changeOverrideCursor(cursor);
    else
        QApplication::setOverrideCursor(cursor);
}

int QtRuntime::DoEvents(double until) {
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
    const auto windows = QApplication::topLevelWidgets();
    return static_cast<int>(std::count_if(windows.begin(), windows.end(), [](QWidget* w) { return w->isVisible(); }));
}

double QtRuntime::Timer() { return static_cast<double>(clock_.nsecsElapsed()) * 1e-9 * scale_; }

void QtRuntime::End() {
    for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
    if (end_) {
        end_();
        return;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace kelvra
