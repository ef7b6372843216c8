// SPDX-License-Identifier: MIT
#pragma once
// Which device each port number, Com1 to Com4, stands for, and why.

#include <array>
#include <string>

namespace kelvra {

// Where a port's device comes from, the first that applies winning.
enum class PortSource { Option, Environment, Settings, Default };

struct PortMapping {
    std::string device;
    PortSource source = PortSource::Default;
};

class PortMap {
public:
    static constexpr int Ports = 4;

    // The device given on the command line for this run (--device).
    void SetOption(int port, std::string device);
    // The device remembered in the settings file.
    void SetSettings(int port, std::string device);

    // --device, then KELVRA_COM<n> when it is a plausible device, then the
    // settings file, then the platform's own name (/dev/ttyS<n-1>; COM<n> on Windows).
    PortMapping Resolve(int port) const;
    std::string Device(int port) const { return Resolve(port).device; }

private:
    std::array<std::string, Ports> option_{};
    std::array<std::string, Ports> settings_{};
};

// Whether `device` can stand for a port: a well-formed name of one of the
// DeviceKinds (an absolute path, a COM name on Windows, a device server's
// address), on one line. --device, KELVRA_COM<n> and the settings file all
// follow this one rule.
bool PlausibleDevice(const std::string& device);

// The environment variable that names Com<port>'s device: KELVRA_COM<port>.
std::string PortVariable(int port);

// "from --device", "from KELVRA_COM1", "from the settings file", "the default".
std::string DescribeSource(PortSource source, int port);

// "/dev/ttyUSB0, from the settings file".
std::string DescribeMapping(const PortMapping& mapping, int port);

}  // namespace kelvra
