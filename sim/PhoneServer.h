#pragma once
// Serves a PhoneModel on a pseudo-terminal: the tool opens DevicePath() as its
// serial port, and the phone answers on the other end.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/PhoneModel.h"
#include "sim/Pty.h"

namespace kelvra {

struct Delivery {
    // Bytes go back at the real line speed: 9600 baud, 11 bits a byte.
    bool paced = false;
    // Bytes go back one write at a time.
    bool trickle = false;
};

class PhoneServer {
public:
    // `log` receives one line per chunk heard and per answer sent.
    PhoneServer(PhoneOptions options, Delivery delivery, std::function<void(const std::string&)> log = {});
    ~PhoneServer();
    PhoneServer(const PhoneServer&) = delete;
    PhoneServer& operator=(const PhoneServer&) = delete;

    const std::string& DevicePath() const { return pty_.Path(); }

    // Serves until `stopFd` becomes readable.
    void Serve(int stopFd);
    // Serves on a thread of its own until Stop().
    void Start();
    void Stop();

    // Every byte heard from the PC so far.
    ByteString Heard() const;
    // The phone's end of the line goes away, like a cable pulled out. For a
    // server started with Start().
    void PullCable();

private:
    void Send(const ByteString& bytes);

    Pty pty_;
    PhoneModel phone_;
    Delivery delivery_;
    std::function<void(const std::string&)> log_;
    mutable std::mutex mutex_;
    ByteString heard_;
    std::thread thread_;
    std::atomic<bool> pullCable_{false};
    int wake_[2] = {-1, -1};
};

}  // namespace kelvra
