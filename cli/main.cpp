// kelvra-netmon: the window, or with options a headless run, a port listing
// or a port mapping.

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "cli/Options.h"
#include "cli/PortList.h"
#include "cli/Settings.h"
#include "headless/HeadlessRun.h"
#include "record/LogFile.h"
#include "runtime/TerminationSignals.h"
#include "serial/QtSerialComm.h"
#include "serial/WireTrace.h"

namespace {

using namespace kelvra;

constexpr int UsageError = 2;

void Say(std::FILE* to, const std::string& line) {
    std::fprintf(to, "%s\n", line.c_str());
    std::fflush(to);
}

void Names() {
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvra"));
    QCoreApplication::setApplicationName(QStringLiteral("kelvra-netmon"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(App::Major).arg(App::Minor).arg(App::Revision));
}

// The wire trace shows one frame per line, split where the PC's or the phone's frames start.
void TraceFrames() {
    LinkState link;
    InitLinkConsts(link);
    Bytes pc = link.FrameId, phone = link.FrameId;
    pc.insert(pc.end(), link.TxAddr.begin(), link.TxAddr.end());
    phone.insert(phone.end(), link.RxAddr.begin(), link.RxAddr.end());
    WireTrace::SetFrameStarts({pc, phone});
}

// --device, then KELVRA_COM<n>, then the settings file, then the default.
PortMap Ports(const Options& options, const SavedSettings& saved) {
    PortMap ports;
    for (int port = 1; port <= PortMap::Ports; ++port)
        ports.SetSettings(port, saved.ports[static_cast<std::size_t>(port - 1)]);
    if (options.device) ports.SetOption(options.com, *options.device);
    return ports;
}

// The log file the command line or the settings name, if any; `error` says why it could not be opened.
std::unique_ptr<LogFile> OpenLog(const Options& options, const SavedSettings& saved, std::string& error) {
    const std::string path = options.logFile ? *options.logFile : saved.logFile;
    if (path.empty()) return nullptr;
    try {
        return std::make_unique<LogFile>(path);
    } catch (const std::runtime_error& failure) {
        error = std::string("the log file cannot be opened: ") + failure.what();
        return nullptr;
    }
}

bool DisplayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    auto set = [](const char* name) { return !qEnvironmentVariableIsEmpty(name); };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

int Window(int argc, char** argv, const Options& options) {
    if (!DisplayAvailable()) {
        Say(stderr, "kelvra-netmon: no display to open the window on (DISPLAY is not set); "
                    "--run works without one");
        return 1;
    }
    QApplication application(argc, argv);
    Names();
    TraceFrames();
    const SavedSettings saved = ReadSettings();
    std::string logError;
    const std::unique_ptr<LogFile> log = OpenLog(options, saved, logError);
    std::optional<Recorder> recorder;
    if (log) recorder.emplace(*log);

    QtRuntime shown;
    std::optional<RecordedRuntime> recorded;
    if (recorder) recorded.emplace(shown, *recorder);
    Runtime& runtime = recorded ? static_cast<Runtime&>(*recorded) : shown;
    const PortMap ports = Ports(options, saved);
    GxxMain window(std::make_unique<QtSerialComm>(ports), runtime,
                   WindowSetup{options.com, ports, recorder ? &*recorder : nullptr});
    QApplication::setWindowIcon(window.windowIcon());
    if (!window.Form_Load()) return 1;
    if (!logError.empty()) runtime.MsgBox(logError, MsgButtons::Ok, MsgIcon::Exclamation);
    const TerminationSignals terminations(&window, [&window](int) { window.close(); });
    window.show();
    return QApplication::exec();
}

int Headless(int argc, char** argv, const Options& options) {
    QCoreApplication application(argc, argv);
    Names();
    if (options.help) {
        std::string unused;
        Say(stdout, ParseOptions(argc, argv, unused)->helpText.toStdString());
        return 0;
    }
    if (options.version) {
        Say(stdout, "kelvra-netmon " + QCoreApplication::applicationVersion().toStdString());
        return 0;
    }
    if (!options.maps.empty()) {
        try {
            QString path;
            for (const auto& [port, device] : options.maps) path = RememberPort(port, device);
            Say(stdout, path.toStdString());
            return 0;
        } catch (const std::runtime_error& failure) {
            Say(stderr, std::string("kelvra-netmon: ") + failure.what());
            return 1;
        }
    }
    const SavedSettings saved = ReadSettings();
    const PortMap ports = Ports(options, saved);
    if (options.listPorts) {
        std::fputs(PortListing(ports, SettingsPath()).toLocal8Bit().constData(), stdout);
        return 0;
    }
    TraceFrames();
    std::string logError;
    const std::unique_ptr<LogFile> log = OpenLog(options, saved, logError);
    if (!logError.empty()) {
        Say(stderr, "kelvra-netmon: " + logError);
        return UsageError;
    }
    std::optional<Recorder> recorder;
    if (log) recorder.emplace(*log);
    return RunHeadless({*options.run, options.com, ports, recorder ? &*recorder : nullptr});
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string error;
    const std::optional<Options> options = ParseOptions(argc, argv, error);
    if (!options) {
        Say(stderr, "kelvra-netmon: " + error + " (see kelvra-netmon --help)");
        return UsageError;
    }
    return options->Window() ? Window(argc, argv, *options) : Headless(argc, argv, *options);
}
