// SPDX-License-Identifier: MIT
#include "extcap/Extcap.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "link/Runtime.h"
#include "listen/Listener.h"
#include "record/LineCapture.h"
#include "record/Pcapng.h"
#include "runtime/Console.h"

namespace kelvra {

namespace {
// The value of `--name value` or `--name=value`; empty when absent.
std::string Value(const std::vector<std::string>& arguments, const std::string& name) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == name && i + 1 < arguments.size()) return arguments[i + 1];
        if (arguments[i].rfind(name + "=", 0) == 0) return arguments[i].substr(name.size() + 1);
    }
    return {};
}

bool Has(const std::vector<std::string>& arguments, const std::string& name) {
    for (const std::string& argument : arguments)
        if (argument == name) return true;
    return false;
}
}  // namespace

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

int RunExtcap(const std::vector<std::string>& arguments, PortMap ports) {
    if (Has(arguments, "--extcap-interfaces")) {
        Console::Line("extcap {version=" + std::to_string(App::Major) + "." + std::to_string(App::Minor) + "." +
                      std::to_string(App::Revision) + "}{display=M2BUS line listener}");
        for (int port = 1; port <= PortMap::Ports; ++port)
            Console::Line("interface {value=" + ExtcapInterface(port) + "}{display=M2BUS on Com" + std::to_string(port) +
                          ": " + DescribeMapping(ports.Resolve(port), port) + "}");
        return 0;
    }
    const std::string interface = Value(arguments, "--extcap-interface");
    const int port = ExtcapPort(interface);
    if (port == 0) {
        Console::Problem("no such interface '" + interface + "' (m2bus-com1 to m2bus-com4)");
        return 2;
    }
    if (Has(arguments, "--extcap-dlts")) {
        Console::Line("dlt {number=" + std::to_string(Pcapng::LinkTypeUser0) + "}{name=USER0}{display=M2BUS line records}");
        return 0;
    }
    if (Has(arguments, "--extcap-config")) {
        Console::Line("arg {number=0}{call=--device}{display=Device}{type=string}{tooltip=The serial device to listen "
                      "to instead of " + ports.Device(port) + " (Com" + std::to_string(port) + " today)}");
        return 0;
    }
    if (!Has(arguments, "--capture")) {
        Console::Problem("Wireshark's call is not understood");
        return 2;
    }
    if (const std::string device = Value(arguments, "--device"); !device.empty()) {
        if (!PlausibleDevice(device)) {
            Console::Problem("--device takes a device's path, such as /dev/ttyUSB0");
            return 2;
        }
        ports.SetOption(port, device);
    }
    std::unique_ptr<LineCapture> capture;
    try {
        capture = std::make_unique<LineCapture>(Value(arguments, "--fifo"), nullptr, true);
    } catch (const std::runtime_error& failure) {
        Console::Problem(failure.what());
        return 2;
    }
    capture->SetListening();
    return Listen({port, ports, capture.get(), true});
}

}  // namespace kelvra
