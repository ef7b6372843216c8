// SPDX-License-Identifier: MIT
#include "app/WindowMain.h"

#include <QApplication>
#include <QMetaObject>

#include <cctype>
#include <cstdlib>
#include <optional>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "runtime/Console.h"
#include "runtime/EventRuntime.h"
#include "runtime/TerminationSignals.h"
#include "serial/PlatformSerial.h"

using namespace kelvra;

namespace {

// While the application object connects to the window system, Qt's own
// platform messages are held back: when no display answers, Qt would end
// the program with advice to reinstall it; the user is told in one line.
class DisplayCheck {
public:
    DisplayCheck() { previous = qInstallMessageHandler(&DisplayCheck::Handle); }
    ~DisplayCheck() {
        qInstallMessageHandler(previous);
        for (const QString& message : held) Console::Problem(message.toStdString());
    }
    DisplayCheck(const DisplayCheck&) = delete;
    DisplayCheck& operator=(const DisplayCheck&) = delete;

    // Platform warnings are the usual chatter of a working start; dropped once it has worked.
    void Started() { held.clear(); }

private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        const bool platform = context.category != nullptr && QByteArray(context.category).startsWith("qt.qpa");
        if (type != QtFatalMsg) {
            if (platform)
                held << message;
            else if (previous != nullptr)
                previous(type, context, message);
            return;
        }
        const QString display = qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY"));
        if (held.join(' ').contains(QLatin1String("connect to display"))) {
            Console::Problem("cannot open the display " + display.toStdString());
        } else {
            for (const QString& line : held) Console::Problem(line.toStdString());
            Console::Problem("the window cannot be shown: " + message.section('\n', 0, 0).toStdString());
        }
        std::_Exit(RunStatusFailed);
    }

    static constexpr int RunStatusFailed = 1;
    static inline QtMessageHandler previous = nullptr;
    static inline QStringList held;
};

std::string Capitalised(std::string text) {
    if (!text.empty()) text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    return text;
}

}  // namespace

extern "C" Q_DECL_EXPORT int KelvraWindowMain(int& argc, char** argv, const WindowRequest& request) {
    std::optional<DisplayCheck> displayCheck(std::in_place);
    QApplication application(argc, argv);
    displayCheck->Started();
    displayCheck.reset();
    SetApplicationNames();

    std::optional<Recorder> recorder;
    if (request.log != nullptr) recorder.emplace(*request.log);
    QtRuntime shown;
    RecordedRuntime runtime(shown, recorder ? &*recorder : nullptr);

    auto comm = MakeSerialComm(request.ports);
    comm->SetObserver(request.capture);
    GxxMain window(std::move(comm), runtime,
                   WindowSetup{request.startPort, request.ports, recorder ? &*recorder : nullptr});
    QApplication::setWindowIcon(window.windowIcon());
    if (!window.Form_Load()) return 1;
    if (!request.recordError.empty())
        runtime.MsgBox(Capitalised(request.recordError), MsgButtons::Ok, MsgIcon::Exclamation);
    // A record that cannot be written is told once, in a box of its own on the
    // next pass of the event loop, not in the middle of the step that was writing.
    auto warnOnce = [&runtime](const std::string& failure) {
        QMetaObject::invokeMethod(
            qApp,
            [&runtime, failure] {
                try {
                    runtime.MsgBox(Capitalised(failure), MsgButtons::Ok, MsgIcon::Exclamation);
                } catch (const ProgramEnding&) {
                }
            },
            Qt::QueuedConnection);
    };
    if (request.log != nullptr) request.log->OnReport(warnOnce);
    if (request.capture != nullptr) request.capture->OnReport(warnOnce);
    const TerminationSignals terminations(&window, [&window, &recorder](int signo) {
        if (recorder) recorder->Line("interrupted by " + SignalName(signo));
        window.close();
    });
    window.show();
    return QApplication::exec();
}
