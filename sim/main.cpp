// SPDX-License-Identifier: MIT
// kelvra-phone-sim: plays the phone on the far end of a serial line.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "link/Runtime.h"
#include "sim/PhoneServer.h"
#include "sim/Replay.h"

namespace {

void Usage(std::ostream& out) {
    out << "Usage: kelvra-phone-sim [options]\n"
           "Plays a phone on a new pseudo-terminal. The first line on standard output is the\n"
           "device for the tool to open (for example KELVRA_COM1=<device> kelvra-netmon).\n"
           "Traffic is logged as hex lines on standard error. SIGINT or SIGTERM ends it.\n\n"
           "  --replies N        copies of each reply (default 3; 1 sends it once)\n"
           "  --reply-type HHHH  the reply's two type bytes in hex (default 4000)\n"
           "  --fault NAME       misbehave in one way:\n";
    for (const auto& f : kelvra::FaultNames()) {
        std::string name = f.name;
        name.resize(20, ' ');
        out << "                       " << name << f.meaning << "\n";
    }
    out << "  --replay FILE      play the phone's side of a capture (kelvra-netmon --capture): what the\n"
           "                     line said, each once the tool has written what came before it\n"
           "  --section N        the capture's section (run) to play, from 1; default the last\n"
           "  --replay-timing    keep the captured gaps too\n"
           "  --tap              also make a second pseudo-terminal that carries every byte of the line\n"
           "                     once, the PC's and the phone's, as a listening adapter hears them;\n"
           "                     its device is the second line on standard output\n"
           "  --socket PATH      serve the line behind a Unix socket (an emulator's serial port)\n"
           "                     instead of a new pseudo-terminal\n"
           "  --qemu-mux         the socket is a QEMU character device with mux=on: 0x01 is doubled\n"
           "  --noise            stray bytes before everything the line carries back\n"
           "  --answer-every-copy  answer the first copy of each command frame too\n"
           "  --trickle          bytes go back one at a time\n"
           "  --paced            bytes go back at the real line speed (9600 baud, 11 bits a byte)\n"
           "  --chunks N/MS      bytes go at the line speed into an adapter that hands them over in\n"
           "                     bursts of up to N bytes, at the latest MS ms after its last burst\n"
           "                     (a USB adapter's latency timer; 62/16 is a common one)\n"
           "  --quiet            log nothing\n"
           "  -v, --version      the version\n"
           "  -h, --help         this text\n";
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "kelvra-phone-sim: " << message << "\n";
    Usage(std::cerr);
    std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
    kelvra::PhoneOptions options;
    kelvra::Delivery delivery;
    bool quiet = false;
    std::string socketPath;
    std::string replayPath;
    bool replayTiming = false;
    long section = 0;
    bool tap = false;
    kelvra::LineKind kind = kelvra::LineKind::Plain;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--version" || arg == "-v") {
            std::cout << "kelvra-phone-sim " << kelvra::App::Version << "\n";
            return 0;
        } else if (arg == "--replies") {
            const std::string n = value();
            char* end = nullptr;
            const long copies = std::strtol(n.c_str(), &end, 10);
            if (*end != '\0' || copies < 1 || copies > 100) Fail("--replies takes a number from 1 to 100");
            options.replyCopies = static_cast<int>(copies);
        } else if (arg == "--reply-type") {
            try {
                options.replyType = kelvra::HexToBytes(value());
            } catch (const std::invalid_argument& e) {
                Fail(e.what());
            }
            if (options.replyType.size() != 2) Fail("--reply-type takes two bytes, four hex digits");
        } else if (arg == "--fault") {
            const std::string name = value();
            bool known = false;
            for (const auto& f : kelvra::FaultNames())
                if (name == f.name) {
                    options.fault = f.fault;
                    known = true;
                }
            if (!known) Fail("no fault named " + name);
        } else if (arg == "--replay") {
            replayPath = value();
        } else if (arg == "--replay-timing") {
            replayTiming = true;
        } else if (arg == "--section") {
            const std::string n = value();
            char* end = nullptr;
            section = std::strtol(n.c_str(), &end, 10);
            if (*end != '\0' || section < 1) Fail("--section takes a section's number, from 1");
        } else if (arg == "--socket") {
            socketPath = value();
        } else if (arg == "--qemu-mux") {
            kind = kelvra::LineKind::QemuMux;
        } else if (arg == "--noise") {
            options.noise = true;
        } else if (arg == "--answer-every-copy") {
            options.answerEveryCopy = true;
        } else if (arg == "--trickle") {
            delivery.trickle = true;
        } else if (arg == "--paced") {
            delivery.paced = true;
        } else if (arg == "--chunks") {
            const std::string chunks = value();
            char* end = nullptr;
            const long bytes = std::strtol(chunks.c_str(), &end, 10);
            const long ms = *end == '/' ? std::strtol(end + 1, &end, 10) : 0;
            if (*end != '\0' || bytes < 1 || bytes > 4096 || ms < 1 || ms > 1000)
                Fail("--chunks takes N/MS: up to N bytes (1 to 4096) every MS milliseconds (1 to 1000)");
            delivery.chunkBytes = static_cast<int>(bytes);
            delivery.chunkMs = static_cast<int>(ms);
        } else if (arg == "--tap") {
            tap = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            Fail("unknown option " + arg);
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int stopFd = signalfd(-1, &signals, SFD_CLOEXEC);

    auto log = [quiet](const std::string& line) {
        if (!quiet) std::cerr << line << std::endl;
    };
    if (tap && (!replayPath.empty() || !socketPath.empty())) Fail("--tap works with the phone on a new pseudo-terminal");
    if (!replayPath.empty()) {
        kelvra::CapturedSection played;
        try {
            played = kelvra::ReadCapturedSection(replayPath, static_cast<std::size_t>(section));
        } catch (const std::runtime_error& e) {
            std::cerr << "kelvra-phone-sim: " << e.what() << "\n";
            return 1;
        }
        for (const std::string& note : played.notes) std::cerr << "kelvra-phone-sim: " << note << "\n";
        kelvra::PhoneServer* server = nullptr;
        auto replay = std::make_unique<kelvra::ReplayPhone>(
            played.section, replayTiming, [&server](const kelvra::ByteString& bytes) { server->Say(bytes); },
            [](const std::string& line) { std::cerr << "kelvra-phone-sim: " << line << std::endl; });
        const auto replaying = kelvra::PhoneServer::Playing(std::move(replay), delivery, log);
        server = replaying.get();
        std::cout << replaying->DevicePath() << std::endl;
        replaying->Serve(stopFd);
        return 0;
    }
    if (socketPath.empty()) {
        kelvra::PhoneServer server(options, delivery, log);
        std::cout << server.DevicePath() << std::endl;
        if (tap)
            std::cout << server.OpenTap([](const std::string& line) {
                std::cerr << "kelvra-phone-sim: " << line << std::endl;
            }) << std::endl;
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
