#include "app/Utility.h"

#include <QMetaObject>
#include <QScrollBar>
#include <QTextCursor>

#include <utility>

namespace kelvra {

QString ShownText(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

LogBox::LogBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
}

void LogBox::LogLine(std::string_view message, std::string_view crlf) {
    QString entry = QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
    entry += QString::fromUtf8(crlf.data(), static_cast<qsizetype>(crlf.size()));
    text_ += entry;
    if (pending_.isEmpty()) QMetaObject::invokeMethod(this, &LogBox::ShowPending, Qt::QueuedConnection);
    pending_ += entry;
}

void LogBox::ShowPending() {
    if (pending_.isEmpty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(ShownText(std::exchange(pending_, QString())));
    if (following) bar->setValue(bar->maximum());
}

}  // namespace kelvra
