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
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringList{"v", "version"}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption com(QStringLiteral("com"), QStringLiteral("Start with Com<n> chosen (1 to 4)."),
                                 QStringLiteral("n"));
    const QString deviceForms = QString::fromStdString(DeviceForms());
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("The chosen Com port is this device for this run: %1.").arg(deviceForms),
                                    QStringLiteral("path"));
    const QString commandNames = QString::fromStdString(UserCommandNameList());
    const QCommandLineOption run(QStringLiteral("run"),
                                 QStringLiteral("Run one command without a window and exit: %1. Exit status 0 on "
                                                "success, 1 on failure.")
                                     .arg(commandNames),
                                 QStringLiteral("command"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Listen to the chosen Com port without writing to it, and print "
                                                   "each frame that passes the line until Ctrl+C."));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"),
                                       QStringLiteral("List the serial devices present and what Com1 to Com4 are."));
    const QCommandLineOption map(QStringLiteral("map"),
                                 QStringLiteral("Remember Com<n> as that device in the settings file (<n>= forgets "
                                                "it) and print the file's path."),
                                 QStringLiteral("n>=<path"));
    const QCommandLineOption logFile(QStringLiteral("log-file"),
                                     QStringLiteral("Append every log line and message box to this file, "
                                                    "time-stamped."),
                                     QStringLiteral("path"));
    const QCommandLineOption capture(QStringLiteral("capture"),
                                     QStringLiteral("Append every byte written and read, each line event and each "
                                                    "opening and closing of the port to this pcapng file, for "
                                                    "Wireshark or kelvra-phone-sim --replay."),
                                     QStringLiteral("file"));
    parser.addOptions({help, version, com, device, run, listen, listPorts, map, logFile, capture});

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
    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    options.listPorts = parser.isSet(listPorts);
    options.listen = parser.isSet(listen);
    if (options.help) {
        options.helpText = parser.helpText();
        options.helpText.replace(0, options.helpText.indexOf(QLatin1Char('\n')),
                                 QStringLiteral("Usage: kelvra-netmon [options]"));
    }
    if (parser.isSet(com)) {
        const auto n = PortNumber(parser.value(com));
        if (!n) return fail(QStringLiteral("--com takes a port number from 1 to 4, not '%1'").arg(parser.value(com)));
        options.com = *n;
    }
    if (parser.isSet(device)) {
        options.device = LastRawValue(argc, argv, "--device", parser.value(device));
        if (!PlausibleDevice(*options.device))
            return fail(QStringLiteral("--device takes %1").arg(deviceForms));
    }
    if (parser.isSet(run)) {
        options.run = UserCommandNamed(parser.value(run).toStdString());
        if (!options.run)
            return fail(QStringLiteral("unknown command '%1' (%2)").arg(parser.value(run), commandNames));
    }
    for (const std::string& value : RawValues(argc, argv, "--map")) {
        const std::size_t equals = value.find('=');
        const QString shown = QString::fromUtf8(value.c_str());
        const auto n = PortNumber(QString::fromStdString(value.substr(0, equals)));
        if (equals == std::string::npos || !n)
            return fail(QStringLiteral("--map takes <n>=<path> with n from 1 to 4, not '%1'").arg(shown));
        const std::string path = value.substr(equals + 1);
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
    if (parser.isSet(logFile)) options.logFile = LastRawValue(argc, argv, "--log-file", parser.value(logFile));
    if (parser.isSet(capture)) options.captureFile = LastRawValue(argc, argv, "--capture", parser.value(capture));
    const int actions = (options.run ? 1 : 0) + (options.listPorts ? 1 : 0) + (options.maps.empty() ? 0 : 1) +
                        (options.listen ? 1 : 0);
    if (actions > 1 && !options.help && !options.version)
        return fail(QStringLiteral("--run, --listen, --list-ports and --map each work alone"));
    return options;
}

}  // namespace kelvra
