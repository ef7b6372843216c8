// SPDX-License-Identifier: MIT
#include "app/WindowMain.h"

#include <QApplication>

#include <cctype>
#include <memory>
#include <optional>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "link/Frame.h"
#include "runtime/EventRuntime.h"
#include "runtime/TerminationSignals.h"
#include "serial/QtSerialComm.h"
#include "serial/WireTrace.h"

using namespace kelvra;

extern "C" Q_DECL_EXPORT int KelvraWindowMain(int& argc, char** argv, const WindowRequest& request) {
    QApplication application(argc, argv);
    SetApplicationNames();
    WireTrace::SetFrameStarts(FrameStarts());

    std::optional<Recorder> recorder;
    if (request.log != nullptr) recorder.emplace(*request.log);
    QtRuntime shown;
    RecordedRuntime runtime(shown, recorder ? &*recorder : nullptr);

    GxxMain window(std::make_unique<QtSerialComm>(request.ports), runtime,
                   WindowSetup{request.startPort, request.ports, recorder ? &*recorder : nullptr});
    QApplication::setWindowIcon(window.windowIcon());
    if (!window.Form_Load()) return 1;
    if (!request.logError.empty()) {
        std::string warning = request.logError;
        warning.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(warning.front())));
        runtime.MsgBox(warning, MsgButtons::Ok, MsgIcon::Exclamation);
    }
    const TerminationSignals terminations(&window, [&window](int) { window.close(); });
    window.show();
    return QApplication::exec();
}
