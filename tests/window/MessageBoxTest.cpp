// SPDX-License-Identifier: MIT
// The run-time services' message boxes answer keys as the platform's do.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

#include <functional>

#include "app/QtRuntime.h"

namespace kelvra {
namespace {

void Press(QWidget* box, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
}

TEST(MessageBox, KeysAnswerAsOnThePlatform) {
    const struct {
        MsgButtons buttons;
        std::vector<int> ignoredKeys;  // 0 stands for the title bar's close
        int key;
        int answer;
    } cases[] = {
        {MsgButtons::Ok, {}, Qt::Key_Return, MsgAnswer::Ok},
        {MsgButtons::Ok, {}, Qt::Key_Escape, MsgAnswer::Ok},
        {MsgButtons::OkCancel, {}, Qt::Key_Return, MsgAnswer::Ok},
        {MsgButtons::OkCancel, {}, Qt::Key_Escape, MsgAnswer::Cancel},
        {MsgButtons::AbortRetryIgnore, {Qt::Key_Escape, 0}, Qt::Key_Return, MsgAnswer::Abort},
    };
    QtRuntime runtime;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        bool stayedOpen = true;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            ASSERT_NE(box, nullptr);
            for (int ignored : c.ignoredKeys) {
                if (ignored == 0)
                    box->close();
                else
                    Press(box, ignored);
                QApplication::processEvents();
                stayedOpen = stayedOpen && box->isVisible();
            }
            Press(box, c.key);
        });
        EXPECT_EQ(runtime.MsgBox("question", c.buttons, MsgIcon::None), c.answer);
        EXPECT_TRUE(stayedOpen);
    }
}

TEST(MessageBox, ShowsTheArrowOverTheHourglass) {
    QtRuntime runtime;
    runtime.SetMousePointer(MousePointer::Hourglass);
    Qt::CursorShape whileOpen = Qt::WaitCursor;
    QTimer::singleShot(0, [&] {
        whileOpen = QApplication::overrideCursor()->shape();
        Press(QApplication::activeModalWidget(), Qt::Key_Return);
    });
    runtime.MsgBox("COM port error !", MsgButtons::Ok, MsgIcon::Exclamation);
    EXPECT_EQ(whileOpen, Qt::ArrowCursor);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
}

}  // namespace
}  // namespace kelvra
