// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <functional>

namespace kelvra {

// Delivers SIGINT and SIGTERM through the event loop: `onSignal` runs with
// the signal's number on the next pass of event processing, never inside the
// signal handler.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    TerminationSignals(QObject* parent, std::function<void(int)> onSignal);
};

}  // namespace kelvra
