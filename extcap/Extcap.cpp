// SPDX-License-Identifier: MIT
#include "extcap/Extcap.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "link/Runtime.h"
#include "listen/Listener.h"
#include "platform/System.h"
#include "record/LineCapture.h"
#include "record/Pcapng.h"
#include "runtime/Console.h"
#include "serial/Devices.h"
#include "serial/DeviceKinds.h"

namespace kelvra {

bool ExtcapCall(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--extcap-", 9) == 0) return true;
    return false;
}

std::string ExtcapInterface(int port) { return "m2bus-com" + std::to_string(port); }

int ExtcapPort(const std::string& interface) {
    for (int port = 1; port <= PortMap::Ports; ++port)
        if (interface == ExtcapInterface(port)) return port;
    return 0;
}

namespace {
// Wireshark's calls, as its extcap interface defines them: the flags, then the options that take a value.
constexpr const char* Flags[] = {"extcap-interfaces", "extcap-dlts", "extcap-config", "capture", "debug"};
constexpr const char* Valued[] = {"extcap-version",   "extcap-interface",   "extcap-reload-option",
                                  "extcap-capture-filter", "fifo",      "device",
                                  "debug-file",       "extcap-control-in", "extcap-control-out"};

// Whether `device` is there now: a device file present, or a port the system lists. A device
// server is taken as there: only connecting to it would tell, and listing interfaces must be quick.
bool Present(const std::string& device, const std::vector<SerialDevice>& listed) {
    if (DeviceKindOf(device).presentUnseen) return true;
    for (const SerialDevice& each : listed)
        if (each.path.toStdString() == device || each.aliases.contains(QString::fromStdString(device))) return true;
    return System::DeviceNodePresent(device);
}

// The device setting's choices: Com<port>'s device first (chosen when nothing is), then every serial
// device present. "value" lines of argument 0, as a reload of the setting lists them too.
void DeviceChoices(const PortMap& ports, int port) {
    const std::string mapped = ports.Device(port);
    Console::Line("value {arg=0}{value=" + mapped + "}{display=" + mapped + " (Com" + std::to_string(port) +
                  " today)}{default=true}");
    for (const SerialDevice& device : SerialDevices()) {
        const std::string path = device.path.toStdString();
        if (path == mapped) continue;
        const std::string about = device.description.isEmpty() ? "" : " (" + device.description.toStdString() + ")";
        Console::Line("value {arg=0}{value=" + path + "}{display=" + path + about + "}{default=false}");
    }
}

// Wireshark's capture filters are for network packets; the records of a serial line take none.
const char* const NoCaptureFilter = "M2BUS interfaces take no capture filter; use a display filter such as m2bus.seq == 2";
}  // namespace

int RunExtcap(const std::vector<std::string>& arguments, PortMap ports) {
    // Wireshark's call read; an option a later Wireshark adds is passed over, as it would be by a
    // capture source it does not know.
    QCommandLineParser parser;
    for (const char* flag : Flags) parser.addOption(QCommandLineOption(QString::fromLatin1(flag)));
    for (const char* name : Valued)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    QStringList list{QStringLiteral("kelvra-netmon")};
    for (const std::string& argument : arguments) list << QString::fromStdString(argument);
    parser.parse(list);
    auto has = [&parser](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    auto value = [&parser](const char* name) { return parser.value(QString::fromLatin1(name)).toStdString(); };
    if (has("extcap-interfaces")) {
        std::string tool = std::string("extcap {version=") + App::Version + "}{display=M2BUS line listener}";
        if (*KELVRA_MANUAL_URL != '\0') tool += "{help=" KELVRA_MANUAL_URL "}";
        Console::Line(tool);
        const std::vector<SerialDevice> listed = SerialDevices();
        // Wireshark names its temporary files after the display: no device path in it.
        for (int port = 1; port <= PortMap::Ports; ++port)
            Console::Line("interface {value=" + ExtcapInterface(port) + "}{display=M2BUS Com" + std::to_string(port) +
                          (Present(ports.Device(port), listed) ? "" : " (no device)") + "}");
        return 0;
    }
    const std::string interface = value("extcap-interface");
    const int port = ExtcapPort(interface);
    if (port == 0) {
        Console::Problem("no such interface '" + interface + "' (m2bus-com1 to m2bus-com4)");
        return 2;
    }
    if (has("extcap-dlts")) {
        Console::Line("dlt {number=" + std::to_string(Pcapng::LinkTypeUser0) + "}{name=USER0}{display=M2BUS line records}");
        return 0;
    }
    if (has("extcap-config")) {
        if (has("extcap-reload-option")) {
            DeviceChoices(ports, port);
            return 0;
        }
        Console::Line("arg {number=0}{call=--device}{display=Device}{type=editselector}{reload=true}"
                      "{placeholder=Reload the devices present}{tooltip=The serial device to listen to: " +
                      DescribeMapping(ports.Resolve(port), port) + " (Com" + std::to_string(port) +
                      " today), another one present, or any device's path}");
        DeviceChoices(ports, port);
        return 0;
    }
    const bool filtered = !value("extcap-capture-filter").empty();
    if (!has("capture")) {
        if (has("extcap-capture-filter")) {
            // Wireshark checks a filter as it is typed: nothing said is a filter taken.
            if (filtered) Console::Line(NoCaptureFilter);
            return 0;
        }
        Console::Problem("Wireshark's call is not understood");
        return 2;
    }
    if (filtered) {
        Console::Problem(NoCaptureFilter);
        return 2;
    }
    if (const std::string device = value("device"); !device.empty()) {
        if (!PlausibleDevice(device)) {
            Console::Problem("--device takes " + DeviceForms());
            return 2;
        }
        ports.SetOption(port, device);
    }
    std::unique_ptr<LineCapture> capture;
    try {
        capture = std::make_unique<LineCapture>(value("fifo"), nullptr, true);
    } catch (const std::runtime_error& failure) {
        Console::Problem(failure.what());
        return 2;
    }
    capture->SetListening();
    return Listen({port, ports, capture.get(), true});
}

}  // namespace kelvra
