// SPDX-License-Identifier: MIT
#pragma once

#include <QPlainTextEdit>
#include <QString>

#include <string_view>

namespace kelvra {

// The text as a widget shows it: each CR LF, CR or LF becomes one line break.
QString ShownText(QString text);

// The message log: a read-only text box whose text is every message written
// since start-up, each followed by the line break. Appending costs time in
// proportion to the line, not to the log: the text grows at once, and the view
// takes the new lines in one piece on the next pass of the event loop. The view
// follows new lines while it is scrolled to the end and stays put while the
// user reads further up.
class LogBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogBox(QWidget* parent = nullptr);

    // Adds `message` and `crlf` to the end of the log.
    void LogLine(std::string_view message, std::string_view crlf);

    // The log's text, byte for byte as written.
    const QString& Text() const { return text_; }

    // Shows the lines written since the last pass of the event loop.
    void ShowPending();

private:
    static constexpr int LinesPerParagraph = 500;

    QString text_;
    // How much of the text the view shows.
    qsizetype shown_ = 0;
};

}  // namespace kelvra
