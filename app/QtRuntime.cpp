// SPDX-License-Identifier: MIT
#include "app/QtRuntime.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QMessageBox>
#include <QWidget>

#include <algorithm>

namespace kelvra {

QtRuntime::QtRuntime(double clockScale, std::function<void()> end)
    : EventRuntime(clockScale), end_(std::move(end)) {}

namespace {

// A message box that answers keys as the platform's own do: Enter takes the
// default button; Escape the OK-only box's OK or the Cancel button; an
// Abort/Retry/Ignore box must be answered with a button, so Escape and the
// title bar's close do nothing there.
class PlatformMessageBox : public QMessageBox {
public:
    explicit PlatformMessageBox(MsgButtons buttons) : mustAnswer_(buttons == MsgButtons::AbortRetryIgnore) {
        switch (buttons) {
        case MsgButtons::Ok:
            setStandardButtons(QMessageBox::Ok);
            setDefaultButton(QMessageBox::Ok);
            setEscapeButton(QMessageBox::Ok);
            break;
        case MsgButtons::OkCancel:
            setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            setDefaultButton(QMessageBox::Ok);
            setEscapeButton(QMessageBox::Cancel);
            break;
        case MsgButtons::AbortRetryIgnore:
            setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
            setDefaultButton(QMessageBox::Abort);
            setWindowFlag(Qt::WindowCloseButtonHint, false);
            break;
        }
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (mustAnswer_ && event->matches(QKeySequence::Cancel)) return event->accept();
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (mustAnswer_) return event->ignore();
        QMessageBox::closeEvent(event);
    }

private:
    bool mustAnswer_;
};

}  // namespace

int QtRuntime::MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon, const std::string& caption) {
    ThrowIfFinishing();
    PlatformMessageBox box(buttons);
    box.setWindowTitle(QString::fromStdString(caption.empty() ? App::Title : caption));
    box.setText(QString::fromStdString(prompt));
    switch (icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    }
    // Over the hourglass, a box shows the ordinary arrow; the hourglass returns when it closes.
    const QCursor* pointer = QApplication::overrideCursor();
    const bool busy = pointer != nullptr && pointer->shape() == Qt::WaitCursor;
    if (busy) QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int answer = box.exec();
    if (busy) QApplication::restoreOverrideCursor();
    ThrowIfFinishing();
    switch (answer) {
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

int QtRuntime::OpenWindows() const {
    const auto windows = QApplication::topLevelWidgets();
    return static_cast<int>(std::count_if(windows.begin(), windows.end(), [](QWidget* w) { return w->isVisible(); }));
}

void QtRuntime::End() {
    for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
    if (end_) {
        end_();
        return;
    }
    // Every event loop returns, main() returns 0 and destructors run; the
    // procedures still on the stack are left at once.
    Finish(0);
    throw ProgramEnding{};
}

}  // namespace kelvra
