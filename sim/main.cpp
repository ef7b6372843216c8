// SPDX-License-Identifier: MIT
// kelvra-phone-sim: plays the phone on the far end of a serial line.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/signalfd.h>

#include <QCommandLineParser>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "link/Runtime.h"
#include "sim/PhoneServer.h"
#include "sim/Replay.h"

namespace {

std::string Help() {
    std::string faults;
    for (const auto& f : kelvra::FaultNames()) faults += "\n  " + std::string(f.name) + ": " + f.meaning;
    return faults;
}

// Every option, with its help: the parser and the usage text both take them from here.
QList<QCommandLineOption> Declared() {
    auto option = [](const QStringList& names, const char* help, const char* value = nullptr) {
        return value ? QCommandLineOption(names, QString::fromUtf8(help), QString::fromLatin1(value))
                     : QCommandLineOption(names, QString::fromUtf8(help));
    };
    return {
        option({"replies"}, "Copies of each reply (default 3; 1 sends it once).", "N"),
        option({"reply-type"}, "The reply's two type bytes in hex (default 4000).", "HHHH"),
        option({"fault"}, ("Misbehave in one way:" + Help()).c_str(), "NAME"),
        option({"replay"}, "Play the phone's side of a capture (kelvra-netmon --capture): what the line said, "
                           "each once the tool has written what came before it.", "FILE"),
        option({"section"}, "The capture's section (run) to play, from 1; default the last.", "N"),
        option({"replay-timing"}, "Keep the captured gaps too."),
        option({"tap"}, "Also make a second pseudo-terminal that carries every byte of the line once, the PC's "
                        "and the phone's, as a listening adapter hears them; its device is the second line on "
                        "standard output."),
        option({"socket"}, "Serve the line behind a Unix socket (an emulator's serial port) instead of a new "
                           "pseudo-terminal.", "PATH"),
        option({"qemu-mux"}, "The socket is a QEMU character device with mux=on: 0x01 is doubled."),
        option({"noise"}, "Stray bytes before everything the line carries back."),
        option({"answer-every-copy"}, "Answer the first copy of each command frame too."),
        option({"trickle"}, "Bytes go back one at a time."),
        option({"paced"}, "Bytes go back at the real line speed (9600 baud, 11 bits a byte)."),
        option({"chunks"}, "Bytes go at the line speed into an adapter that hands them over in bursts of up to N "
                           "bytes, at the latest MS ms after its last burst (a USB adapter's latency timer; 62/16 "
                           "is a common one).", "N/MS"),
        option({"quiet"}, "Log nothing."),
        option({"v", "version"}, "The version."),
        option({"h", "help"}, "This text."),
    };
}

QCommandLineParser parser;

// The parser's help under the program's own name.
std::string Usage() {
    const QString text = parser.helpText();
    return "Usage: kelvra-phone-sim [options]" + text.mid(text.indexOf(QLatin1Char('\n'))).toStdString();
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "kelvra-phone-sim: " << message << "\n" << Usage();
    std::exit(2);
}

// The whole number `text` holds, or nothing.
std::optional<long> Number(const std::string& text) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') return std::nullopt;
    return n;
}

}  // namespace

int main(int argc, char* argv[]) {
    parser.setApplicationDescription(QStringLiteral(
        "Plays a phone on a new pseudo-terminal. The first line on standard output is the device for the tool to "
        "open (for example KELVRA_COM1=<device> kelvra-netmon). Traffic is logged as hex lines on standard "
        "error. SIGINT or SIGTERM ends it."));
    parser.addOptions(Declared());
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments)) Fail(parser.errorText().toStdString());
    if (!parser.positionalArguments().isEmpty())
        Fail("unexpected argument " + parser.positionalArguments().first().toStdString());
    auto set = [](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    auto value = [](const char* name) { return parser.value(QString::fromLatin1(name)).toStdString(); };
    if (set("help")) {
        std::cout << Usage();
        return 0;
    }
    if (set("version")) {
        std::cout << "kelvra-phone-sim " << kelvra::App::Version << "\n";
        return 0;
    }
    // The whole number an option holds, from `low` to `high`; anything else fails with `usage`.
    auto number = [&value](const char* name, long low, long high, const char* usage) {
        const auto n = Number(value(name));
        if (!n || *n < low || *n > high) Fail(usage);
        return *n;
    };
    kelvra::PhoneOptions options;
    kelvra::Delivery delivery;
    if (set("replies")) options.replyCopies = static_cast<int>(number("replies", 1, 100, "--replies takes a number from 1 to 100"));
    if (set("reply-type")) {
        try {
            options.replyType = kelvra::HexToBytes(value("reply-type"));
        } catch (const std::invalid_argument& e) {
            Fail(e.what());
        }
        if (options.replyType.size() != 2) Fail("--reply-type takes two bytes, four hex digits");
    }
    if (set("fault")) {
        const std::string name = value("fault");
        const auto& faults = kelvra::FaultNames();
        const auto known = std::find_if(faults.begin(), faults.end(), [&](const auto& f) { return name == f.name; });
        if (known == faults.end()) Fail("no fault named " + name);
        options.fault = known->fault;
    }
    const long section = set("section") ? number("section", 1, LONG_MAX, "--section takes a section's number, from 1") : 0;
    if (set("chunks")) {
        const std::string chunks = value("chunks");
        const std::size_t slash = chunks.find('/');
        const auto bytes = Number(chunks.substr(0, slash));
        const auto ms = slash == std::string::npos ? std::nullopt : Number(chunks.substr(slash + 1));
        if (!bytes || !ms || *bytes < 1 || *bytes > 4096 || *ms < 1 || *ms > 1000)
            Fail("--chunks takes N/MS: up to N bytes (1 to 4096) every MS milliseconds (1 to 1000)");
        delivery.chunkBytes = static_cast<int>(*bytes);
        delivery.chunkMs = static_cast<int>(*ms);
    }
    options.noise = set("noise");
    options.answerEveryCopy = set("answer-every-copy");
    delivery.trickle = set("trickle");
    delivery.paced = set("paced");
    const bool quiet = set("quiet");
    const bool tap = set("tap");
    const bool replayTiming = set("replay-timing");
    const std::string socketPath = value("socket");
    const std::string replayPath = value("replay");
    const kelvra::LineKind kind = set("qemu-mux") ? kelvra::LineKind::QemuMux : kelvra::LineKind::Plain;

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC);

    auto log = [quiet](const std::string& line) {
        if (!quiet) std::cerr << line << std::endl;
    };
    // What the replay or the tap finds wrong is said even when quiet.
    auto complain = [](const std::string& line) { std::cerr << "kelvra-phone-sim: " << line << std::endl; };
    if (tap && (!replayPath.empty() || !socketPath.empty())) Fail("--tap works with the phone on a new pseudo-terminal");
    if (!replayPath.empty()) {
        kelvra::CapturedSection played;
        try {
            played = kelvra::ReadCapturedSection(replayPath, static_cast<std::size_t>(section));
        } catch (const std::runtime_error& e) {
            std::cerr << "kelvra-phone-sim: " << e.what() << "\n";
            return 1;
        }
        for (const std::string& note : played.notes) complain(note);
        kelvra::PhoneServer* server = nullptr;
        auto replay = std::make_unique<kelvra::ReplayPhone>(
            played.section, replayTiming, [&server](const kelvra::ByteString& bytes) { server->Say(bytes); }, complain);
        const auto replaying = kelvra::PhoneServer::Playing(std::move(replay), delivery, log);
        server = replaying.get();
        std::cout << replaying->DevicePath() << std::endl;
        replaying->Serve(stopFd);
        return 0;
    }
    if (socketPath.empty()) {
        kelvra::PhoneServer server(options, delivery, log);
        std::cout << server.DevicePath() << std::endl;
        if (tap) std::cout << server.OpenTap(complain) << std::endl;
        server.Serve(stopFd);
        return 0;
    }
    const int line = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) Fail("--socket: the path is too long");
    std::strcpy(address.sun_path, socketPath.c_str());
    if (::connect(line, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "kelvra-phone-sim: " << socketPath << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    kelvra::PhoneServer server(options, delivery, line, kind, log);
    std::cout << socketPath << std::endl;
    server.Serve(stopFd);
    return 0;
}
