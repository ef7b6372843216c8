// SPDX-License-Identifier: MIT
#pragma once
// Serves a PhoneModel on a pseudo-terminal: the tool opens DevicePath() as its
// serial port, and the phone answers on the other end.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/PhoneModel.h"
#include "sim/Pty.h"

namespace kelvra {

struct Delivery {
    // Bytes go back at the real line speed: 9600 baud, 11 bits a byte.
    bool paced = false;
    // Bytes go back one write at a time.
    bool trickle = false;
    // When at least 0: an answer longer than this goes in two writes, cut
    // after this many bytes, a few milliseconds apart.
    int splitAt = -1;
    // When above 0: bytes go at the line speed into an adapter that hands
    // them over in bursts of up to chunkBytes, when that many have come or
    // chunkMs after its last burst (a USB adapter's latency timer).
    int chunkBytes = 0;
    int chunkMs = 0;
};

// One write of an answer: bytes [begin, end) once `at` nanoseconds have
// passed since the answer began.
struct Burst {
    long long at;
    std::size_t begin, end;
    bool operator==(const Burst&) const = default;
};
// How an answer of `size` bytes goes out with `delivery`.
std::vector<Burst> Schedule(const Delivery& delivery, std::size_t size);

// How bytes travel on a line the server is given.
enum class LineKind {
    Plain,
    // A QEMU character device with mux=on: 0x01 is its escape byte towards the
    // guest, so each one is doubled, and 0x01 0x62 sends a break.
    QemuMux,
};

class PhoneServer {
public:
    // On a new pseudo-terminal. `log` receives one line per chunk heard and per answer sent.
    PhoneServer(PhoneOptions options, Delivery delivery, std::function<void(const std::string&)> log = {});
    // On `lineFd`, a connected socket or a terminal, which the server then owns.
    PhoneServer(PhoneOptions options, Delivery delivery, int lineFd, LineKind kind,
                std::function<void(const std::string&)> log = {});
    // Another far end than the phone model (a replayed capture), on a new pseudo-terminal.
    static std::unique_ptr<PhoneServer> Playing(std::unique_ptr<FarEnd> far, Delivery delivery,
                                                std::function<void(const std::string&)> log = {});
    ~PhoneServer();
    PhoneServer(const PhoneServer&) = delete;
    PhoneServer& operator=(const PhoneServer&) = delete;

    // The pseudo-terminal's device for the tool to open; empty on a given line.
    std::string DevicePath() const { return line_.pty ? line_.pty->Path() : std::string(); }

    // A second pseudo-terminal that carries every byte of the line once, in
    // line order: the PC's bytes and what the phone's end says besides the
    // echo, as an adapter listening on the shared wire hears them. Bytes
    // written into it are the listener's fault and go to `complain`. Returns
    // its device. Call before serving.
    std::string OpenTap(std::function<void(const std::string&)> complain);

    // Serves until `stopFd` becomes readable.
    void Serve(int stopFd);
    // Serves on a thread of its own until Stop().
    void Start();
    void Stop();

    // Every byte heard from the PC so far.
    ByteString Heard() const { return Locked(heard_); }
    // Seconds from the last byte of each answer leaving to the PC's
    // acknowledgement frame arriving, one figure per acknowledgement.
    std::vector<double> AckLatencies() const { return Locked(ackLatencies_); }
    // How many bytes the phone's end has put on the line.
    std::size_t BytesSaid() const { return Locked(said_); }
    // When the first byte from the PC arrived; the epoch while none has.
    std::chrono::steady_clock::time_point FirstHeardAt() const { return Locked(firstHeard_); }
    // Puts bytes on the line from any thread, besides what the phone says.
    // False when the server stopped before all of them were taken.
    bool Say(const ByteString& bytes);
    // The phone's end of the line goes away, like a cable pulled out. For a
    // server started with Start().
    void PullCable();
    // Holds the tool's output on the line, like a stalled adapter: its writes
    // would block and its bytes wait in its transmit buffer. False releases it.
    // On a pseudo-terminal only.
    void HoldLine(bool held);
    // Sends a break to the tool. On a QEMU line only.
    void SendBreak();
    // Runs before each answer goes back (from the serving thread).
    void BeforeEachAnswer(std::function<void(const ByteString& answer)> hook) { beforeAnswer_ = std::move(hook); }

private:
    // A pseudo-terminal the server offers, and the clients that have it open.
    struct Device {
        std::unique_ptr<Pty> pty;
        int watch = -1;
        std::atomic<int> clients{0};
    };

    PhoneServer(std::unique_ptr<FarEnd> far, Delivery delivery, int lineFd, LineKind kind,
                std::function<void(const std::string&)> log);
    // A copy of a figure the serving thread keeps.
    template <class Figure>
    Figure Locked(const Figure& figure) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return figure;
    }
    void Heard(const ByteString& chunk);
    // Sends an answer as `delivery_` says; `echo` is where the echo of the PC's bytes stands in it.
    void Send(const ByteString& bytes, std::pair<std::size_t, std::size_t> echo);
    // Writes while the tool makes room; false once the server is told to stop or the line is gone.
    bool WriteAll(const std::uint8_t* data, std::size_t size);
    bool WriteRaw(const std::uint8_t* data, std::size_t size);
    // The listener's copy of what the line carries, when one listens.
    void Tap(const std::uint8_t* data, std::size_t size);
    void ReadTap();
    int LineFd() const { return line_.pty ? line_.pty->MasterFd() : lineFd_; }
    void CloseLine();
    bool StopRequested() const;
    // Waits until `at`; false when the tool closed the device meanwhile or the
    // server is told to stop: the answer is dropped.
    bool WaitUntil(std::chrono::steady_clock::time_point at);
    void Watch(Device& device);
    // Looks at who opened and closed the devices (watched with inotify);
    // true when the tool closed the line's device.
    bool ClientsChanged();
    // Makes the device as a new client expects it: not in exclusive use, with
    // the line settings it was made with, and without bytes meant for the last client.
    void ResetDevice(Device& device, bool settings);

    Device line_;
    Device tap_;
    int lineFd_ = -1;
    LineKind kind_ = LineKind::Plain;
    std::function<void(const ByteString&)> beforeAnswer_;
    std::unique_ptr<FarEnd> phone_;
    Delivery delivery_;
    std::function<void(const std::string&)> log_;
    std::function<void(const std::string&)> tapComplaint_;
    mutable std::mutex mutex_;
    ByteString heard_;
    std::vector<double> ackLatencies_;
    std::size_t said_ = 0;
    std::chrono::steady_clock::time_point answered_{};
    std::chrono::steady_clock::time_point firstHeard_{};
    std::mutex writing_;
    std::thread thread_;
    std::atomic<bool> pullCable_{false};
    int wake_[2] = {-1, -1};
    int stopFd_ = -1;
    // Watches the pseudo-terminals for clients opening and closing them,
    // however they end; -1 where the platform cannot, and the device is reset on a timer.
    int watches_ = -1;
};

}  // namespace kelvra
