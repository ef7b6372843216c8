// SPDX-License-Identifier: MIT
#pragma once
// The one way tests start kelvra-netmon: without a display, with no port
// named by the environment, its settings in a folder of the test's own.

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

namespace kelvra {

// The test's environment less what would make the tool show a window or find
// another device (DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM, KELVRA_COM<n>),
// its settings in `config`, then `extra` ("NAME=value") on top.
inline QProcessEnvironment ToolEnvironment(const QString& config, const QStringList& extra = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVRA_COM1", "KELVRA_COM2",
                             "KELVRA_COM3", "KELVRA_COM4"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    for (const QString& entry : extra) env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    return env;
}

// The tool started with `arguments` in ToolEnvironment; Finish waits and collects what it printed.
class Tool {
public:
    // `child` runs in the new process before the tool starts (to give it other standard streams).
    Tool(const QStringList& arguments, const QString& config, const QStringList& environment = {},
         const std::function<void()>& child = {}) {
        process.setProcessEnvironment(ToolEnvironment(config, environment));
        if (child) process.setChildProcessModifier(child);
        process.start(QStringLiteral(KELVRA_NETMON), arguments);
        process.waitForStarted();
    }
    int Finish(int ms = 30000) {
        process.waitForFinished(ms);
        out = QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        err = QString::fromLocal8Bit(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QStringList out, err;
};

}  // namespace kelvra
