#pragma once

#include <QObject>

class QWidget;

namespace kelvra {

// Turns SIGINT and SIGTERM into closing `window`, so that the program shuts
// down as it does when the user closes the window.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QWidget* window);
};

}  // namespace kelvra
