// SPDX-License-Identifier: MIT
#include "cli/Options.h"

#include "serial/DeviceKinds.h"
#include "serial/PortMap.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstring>
#include <vector>

namespace kelvra {

namespace {

// The values of `name` (--device, --map), as the bytes given: a device name
// need not be text in any encoding.
std::vector<std::string> RawValues(int argc, char** argv, const char* name) {
    std::vector<std::string> values;
    const std::size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], name) == 0 && i + 1 < argc)
            values.emplace_back(argv[++i]);
        else if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
            values.emplace_back(argv[i] + length + 1);
    }
    return values;
}

// The last value of `name` as the bytes given; `parsed` where the parser took it otherwise.
std::string LastRawValue(int argc, char** argv, const char* name, const QString& parsed) {
    const std::vector<std::string> values = RawValues(argc, argv, name);
    return values.empty() ? parsed.toStdString() : values.back();
}

bool Utf8(const std::string& bytes) {
    const QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return QString::fromUtf8(raw).toUtf8() == raw;
}

std::optional<int> PortNumber(const QString& text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < 1 || n > PortMap::Ports) return std::nullopt;
    return n;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Switches the field-test display of a phone on a serial port on (operator or R&D mode) or off, or resets "
        "its timers. Without options it opens its window."));
    const QString deviceForms = QString::fromStdString(DeviceForms());
    const QString commandNames = QString::fromStdString(UserCommandNameList());
    auto option = [](const QStringList& names, const QString& help, const char* value = nullptr) {
        return value ? QCommandLineOption(names, help, QString::fromLatin1(value)) : QCommandLineOption(names, help);
    };
    parser.addOptions({
        option({"h", "help"}, QStringLiteral("Show this help and exit.")),
        option({"v", "version"}, QStringLiteral("Show the version and exit.")),
        option({"com"}, QStringLiteral("Start with Com<n> chosen (1 to 4)."), "n"),
        option({"device"}, QStringLiteral("The chosen Com port is this device for this run: %1.").arg(deviceForms),
               "path"),
        option({"run"},
               QStringLiteral("Run one command without a window and exit: %1. Exit status 0 on success, 1 on failure.")
                   .arg(commandNames),
               "command"),
        option({"listen"}, QStringLiteral("Listen to the chosen Com port without writing to it, and print each frame "
                                          "that passes the line until Ctrl+C.")),
        option({"list-ports"}, QStringLiteral("List the serial devices present and what Com1 to Com4 are.")),
        option({"map"},
               QStringLiteral("Remember Com<n> as that device in the settings file (<n>= forgets it) and print the "
                              "file's path."),
               "n>=<path"),
        option({"log-file"}, QStringLiteral("Append every log line and message box to this file, time-stamped."),
               "path"),
        option({"capture"},
               QStringLiteral("Append every byte written and read, each line event and each opening and closing of "
                              "the port to this pcapng file, for Wireshark or kelvra-phone-sim --replay."),
               "file"),
    });
    auto set = [&parser](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    auto value = [&parser](const char* name) { return parser.value(QString::fromLatin1(name)); };

    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromUtf8(argv[i]);
    auto fail = [&error](const QString& text) {
        error = text.toStdString();
        return std::nullopt;
    };
    if (!parser.parse(arguments)) return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    Options options;
    options.help = set("help");
    options.version = set("version");
    options.listPorts = set("list-ports");
    options.listen = set("listen");
    if (options.help) {
        options.helpText = parser.helpText();
        options.helpText.replace(0, options.helpText.indexOf(QLatin1Char('\n')),
                                 QStringLiteral("Usage: kelvra-netmon [options]"));
    }
    if (set("com")) {
        const auto n = PortNumber(value("com"));
        if (!n) return fail(QStringLiteral("--com takes a port number from 1 to 4, not '%1'").arg(value("com")));
        options.com = *n;
    }
    if (set("device")) {
        options.device = LastRawValue(argc, argv, "--device", value("device"));
        if (!PlausibleDevice(*options.device))
            return fail(QStringLiteral("--device takes %1").arg(deviceForms));
    }
    if (set("run")) {
        options.run = UserCommandNamed(value("run").toStdString());
        if (!options.run)
            return fail(QStringLiteral("unknown command '%1' (%2)").arg(value("run"), commandNames));
    }
    for (const std::string& mapping : RawValues(argc, argv, "--map")) {
        const std::size_t equals = mapping.find('=');
        const QString shown = QString::fromUtf8(mapping.c_str());
        const auto n = PortNumber(QString::fromStdString(mapping.substr(0, equals)));
        if (equals == std::string::npos || !n)
            return fail(QStringLiteral("--map takes <n>=<path> with n from 1 to 4, not '%1'").arg(shown));
        const std::string path = mapping.substr(equals + 1);
        if (!path.empty() && !PlausibleDevice(path))
            return fail(QStringLiteral("--map %1: the device must be %2").arg(shown, deviceForms));
        if (!Utf8(path))
            return fail(QStringLiteral("--map %1: the settings file holds only UTF-8 names; give this device with "
                                       "KELVRA_COM%2 or --device, or map a name of it under /dev/serial/by-id")
                            .arg(shown)
                            .arg(*n));
        options.maps.emplace_back(*n, path);
    }
    // File names as the bytes given, like --device: a name need not be UTF-8.
    if (set("log-file")) options.logFile = LastRawValue(argc, argv, "--log-file", value("log-file"));
    if (set("capture")) options.captureFile = LastRawValue(argc, argv, "--capture", value("capture"));
    const int actions = (options.run ? 1 : 0) + (options.listPorts ? 1 : 0) + (options.maps.empty() ? 0 : 1) +
                        (options.listen ? 1 : 0);
    if (actions > 1 && !options.help && !options.version)
        return fail(QStringLiteral("--run, --listen, --list-ports and --map each work alone"));
    return options;
}

}  // namespace kelvra
