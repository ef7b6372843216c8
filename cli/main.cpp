// SPDX-License-Identifier: MIT
// kelvra-netmon: the window, or with options a headless run, a port listing
// or a port mapping.

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "app/WindowMain.h"
#include "cli/Options.h"
#include "cli/Platform.h"
#include "cli/Settings.h"
#include "extcap/Extcap.h"
#include "headless/HeadlessRun.h"
#include "listen/Listener.h"
#include "record/LineCapture.h"
#include "record/LogFile.h"
#include "runtime/EventRuntime.h"
#include "link/Frame.h"
#include "runtime/Console.h"
#include "serial/Devices.h"
#include "serial/PortMap.h"
#include "serial/WireTrace.h"

namespace {

using namespace kelvra;

// --device, then KELVRA_COM<n>, then the settings file, then the default. A
// KELVRA_COM<n> that names no plausible device is ignored with one line.
PortMap Ports(const Options& options, const SavedSettings& saved) {
    PortMap ports;
    for (int port = 1; port <= PortMap::Ports; ++port) {
        ports.SetSettings(port, saved.ports[static_cast<std::size_t>(port - 1)]);
        const QByteArray variable = qgetenv(PortVariable(port).c_str());
        if (!variable.isEmpty() && !PlausibleDevice(variable.toStdString()))
            Console::Problem(PortVariable(port) + " is not a device's absolute path; ignored");
    }
    if (options.device) ports.SetOption(options.com, *options.device);
    return ports;
}

// The lasting records the command line or the settings ask for: the log
// file and the capture of the line.
struct Records {
    std::unique_ptr<LogFile> log;
    std::unique_ptr<LineCapture> capture;
    // Why one could not be opened.
    std::string error;
};

Records OpenRecords(const Options& options, const SavedSettings& saved) {
    Records records;
    const std::string logPath = options.logFile ? *options.logFile : saved.logFile;
    const std::string capturePath = options.captureFile ? *options.captureFile : saved.captureFile;
    if (!logPath.empty() && !capturePath.empty() && AppendFile::SameFile(logPath, capturePath)) {
        records.error = "the log file and the capture file cannot be one file (" + capturePath + ")";
        return records;
    }
    auto open = [&records](const std::string& path, const char* what, auto& file) {
        if (path.empty() || !records.error.empty()) return;
        try {
            file = std::make_unique<typename std::decay_t<decltype(file)>::element_type>(path);
        } catch (const std::runtime_error& failure) {
            records.error = std::string(what) + " cannot be opened: " + failure.what();
        }
    };
    open(logPath, "the log file", records.log);
    open(capturePath, "the capture file", records.capture);
    return records;
}

// --list-ports: the serial devices present (path, description, maker, USB vendor:product, serial
// number, other names) and what Com1 to Com4 are, with where each mapping comes from. Line by line as
// every other output: UTF-8, or wide text on a Windows console.
void ListPorts(const PortMap& ports) {
    auto say = [](const QString& text) { Console::Line(text.toStdString()); };
    auto orDash = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    say(QStringLiteral("Serial devices:"));
    const std::vector<SerialDevice> devices = SerialDevices();
    if (devices.empty()) say(QStringLiteral("  none found"));
    for (const SerialDevice& device : devices) {
        say("  " + device.path);
        say("    description: " + orDash(device.description));
        say("    maker: " + orDash(device.maker));
        say("    USB vendor:product: " + orDash(device.usbId));
        say("    serial number: " + orDash(device.serialNumber));
        for (const QString& alias : device.aliases) say("    also: " + alias);
    }
    say(QStringLiteral("Com ports:"));
    for (int port = 1; port <= PortMap::Ports; ++port)
        say(QStringLiteral("  Com%1: ").arg(port) + QString::fromStdString(DescribeMapping(ports.Resolve(port), port)));
    say("Settings file: " + SettingsPath());
}

// The window module: beside the program in the build (and on Windows), in the
// program's library folder when installed on Linux.
QString WindowModule() {
    const QString folder = ProgramFolder();
    for (const QString& candidate : {folder + QStringLiteral("/kelvra-window"),
                                     folder + QStringLiteral("/" KELVRA_WINDOW_MODULE_DIR "/kelvra-window")})
        if (QLibrary::isLibrary(candidate + QStringLiteral(KELVRA_MODULE_SUFFIX)) &&
            QFileInfo::exists(candidate + QStringLiteral(KELVRA_MODULE_SUFFIX)))
            return candidate + QStringLiteral(KELVRA_MODULE_SUFFIX);
    return folder + QStringLiteral("/" KELVRA_WINDOW_MODULE_DIR "/kelvra-window" KELVRA_MODULE_SUFFIX);
}

int Window(int argc, char** argv, const Options& options) {
    if (!DisplayAvailable()) {
        Console::Problem("no display to open the window on (DISPLAY is not set); --run works without one");
        return RunStatus::Failed;
    }
    const SavedSettings saved = ReadSettings();
    const Records records = OpenRecords(options, saved);
    const WindowRequest request{options.com, Ports(options, saved), records.log.get(), records.capture.get(),
                                records.error};

    QLibrary module(WindowModule());
    const auto windowMain = reinterpret_cast<WindowMainFunction>(module.resolve(WindowMainSymbol));
    if (windowMain == nullptr) {
        StartFailure("the window cannot be loaded: " + module.errorString().toStdString());
        return RunStatus::Failed;
    }
    return windowMain(argc, argv, request);
}

int Headless(int argc, char** argv, const Options& options) {
    QCoreApplication application(argc, argv);
    SetApplicationNames();
    if (options.help) {
        Console::Line(options.helpText.toStdString());
        return 0;
    }
    if (options.version) {
        Console::Line("kelvra-netmon " + QCoreApplication::applicationVersion().toStdString());
        return 0;
    }
    if (!options.maps.empty()) {
        try {
            QString path;
            for (const auto& [port, device] : options.maps) path = RememberPort(port, device);
            Console::Line(path.toStdString());
            return 0;
        } catch (const std::runtime_error& failure) {
            Console::Problem(failure.what());
            return RunStatus::Usage;
        }
    }
    const SavedSettings saved = ReadSettings();
    const PortMap ports = Ports(options, saved);
    if (options.listPorts) {
        ListPorts(ports);
        return 0;
    }
    const Records records = OpenRecords(options, saved);
    if (!records.error.empty()) {
        Console::Problem(records.error);
        return RunStatus::Usage;
    }
    auto tell = [](const std::string& failure) { Console::Problem(failure); };
    if (options.listen) {
        if (records.capture) {
            records.capture->OnReport(tell);
            records.capture->SetListening();
        }
        return Listen({options.com, ports, records.capture.get()});
    }
    std::optional<Recorder> recorder;
    if (records.log) {
        records.log->OnReport(tell);
        recorder.emplace(*records.log);
    }
    if (records.capture) records.capture->OnReport(tell);
    return RunHeadless({*options.run, options.com, ports, recorder ? &*recorder : nullptr, records.capture.get()});
}

}  // namespace

// Wireshark calling: the listener as its capture source.
int Extcap(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    SetApplicationNames();
    return RunExtcap(std::vector<std::string>(argv + 1, argv + argc), Ports({}, ReadSettings()));
}

int main(int argc, char* argv[]) {
    Console::PrepareStandardStreams();
    // UTF-8 arguments, whatever the platform carried them in.
    std::vector<std::string> utf8 = Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : utf8) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(utf8.size());
    argv = pointers.data();
    // The wire trace cuts what it shows into frames, for every way the program runs.
    WireTrace::SetSplitter(FramePieces);
    if (ExtcapCall(argc, argv)) return Extcap(argc, argv);
    std::string error;
    const std::optional<Options> options = ParseOptions(argc, argv, error);
    if (!options) {
        UseParentConsole();
        Console::Problem(error + " (see kelvra-netmon --help)");
        return RunStatus::Usage;
    }
    if (!options->Window()) UseParentConsole();
    return options->Window() ? Window(argc, argv, *options) : Headless(argc, argv, *options);
}
