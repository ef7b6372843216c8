// SPDX-License-Identifier: MIT
#include "app/Utility.h"

#include <QMetaObject>
#include <QScrollBar>
#include <QTextCursor>

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
    if (shown_ == text_.size()) QMetaObject::invokeMethod(this, &LogBox::ShowPending, Qt::QueuedConnection);
    text_ += entry;
}

void LogBox::ShowPending() {
    if (shown_ == text_.size()) return;
    // A document's cost per line added grows with its number of paragraphs,
    // while a paragraph is laid out anew whenever text is added to it. So the
    // lines shown together share paragraphs of up to LinesPerParagraph lines,
    // broken by line separators, and every batch ends its last paragraph: a
    // line that arrives alone never makes an earlier paragraph be laid out again.
    QString shown;
    shown.reserve(text_.size() - shown_);
    const QChar* text = text_.constData();
    const qsizetype size = text_.size();
    int linesInParagraph = 0;
    for (qsizetype i = shown_; i < size; ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n')) {
            shown += c;
            continue;
        }
        if (c == QLatin1Char('\r') && i + 1 < size && text[i + 1] == QLatin1Char('\n')) ++i;
        const bool last = i + 1 == size;
        if (last || ++linesInParagraph >= LinesPerParagraph) {
            shown += QLatin1Char('\n');
            linesInParagraph = 0;
        } else {
            shown += QChar(QChar::LineSeparator);
        }
    }
    shown_ = size;

    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(shown);
    if (following) bar->setValue(bar->maximum());
}

}  // namespace kelvra
