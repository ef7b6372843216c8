// SPDX-License-Identifier: MIT
#include "sim/PhoneServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {
// 11 bits a byte at 9600 baud.
constexpr long long NanosPerByte = 11LL * 1000000000LL / 9600LL;
constexpr long long TrickleGapNanos = 2000000LL;
constexpr long long SplitGapNanos = 3000000LL;
// How often the device is reset while the line is quiet, where clients
// closing it cannot be watched.
constexpr int ResetCheckMs = 200;
using Clock = std::chrono::steady_clock;
}  // namespace

std::vector<Burst> Schedule(const Delivery& delivery, std::size_t size) {
    std::vector<Burst> bursts;
    if (size == 0) return bursts;
    const auto cut = static_cast<std::size_t>(delivery.splitAt);
    if (delivery.splitAt >= 0 && size > cut) return {{0, 0, cut}, {SplitGapNanos, cut, size}};
    if (delivery.chunkBytes > 0) {
        // Bytes are on the wire one by one; the adapter hands over what it
        // holds when it holds chunkBytes, or chunkMs after its last burst.
        const auto most = static_cast<std::size_t>(delivery.chunkBytes);
        const long long latency = delivery.chunkMs * 1000000LL;
        long long timer = latency;
        for (std::size_t sent = 0; sent < size;) {
            const long long full =
                sent + most <= size ? static_cast<long long>(sent + most) * NanosPerByte : LLONG_MAX;
            const long long when = std::min(full, timer);
            const std::size_t onWire = std::min(size, static_cast<std::size_t>(when / NanosPerByte));
            const std::size_t count = std::min(onWire - std::min(onWire, sent), most);
            if (count == 0) {
                timer += latency;
                continue;
            }
            bursts.push_back({when, sent, sent + count});
            sent += count;
            timer = when + latency;
        }
        return bursts;
    }
    if (!delivery.paced && !delivery.trickle) return {{0, 0, size}};
    // A byte is on the line once all its bits have gone.
    const long long gap = delivery.paced ? NanosPerByte : TrickleGapNanos;
    for (std::size_t i = 0; i < size; ++i) bursts.push_back({static_cast<long long>(i + 1) * gap, i, i + 1});
    return bursts;
}

PhoneServer::PhoneServer(PhoneOptions options, Delivery delivery, std::function<void(const std::string&)> log)
    : PhoneServer(std::move(options), delivery, -1, LineKind::Plain, std::move(log)) {}

PhoneServer::PhoneServer(PhoneOptions options, Delivery delivery, int lineFd, LineKind kind,
                         std::function<void(const std::string&)> log)
    : PhoneServer(std::make_unique<PhoneModel>(std::move(options)), delivery, lineFd, kind, std::move(log)) {}

std::unique_ptr<PhoneServer> PhoneServer::Playing(std::unique_ptr<FarEnd> far, Delivery delivery,
                                                  std::function<void(const std::string&)> log) {
    return std::unique_ptr<PhoneServer>(new PhoneServer(std::move(far), delivery, -1, LineKind::Plain, std::move(log)));
}

PhoneServer::PhoneServer(std::unique_ptr<FarEnd> far, Delivery delivery, int lineFd, LineKind kind,
                         std::function<void(const std::string&)> log)
    : lineFd_(lineFd), kind_(kind), phone_(std::move(far)), delivery_(delivery), log_(std::move(log)) {
    if (lineFd < 0) line_.pty = std::make_unique<Pty>();
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    // Neither reading nor writing may block: the server must notice when it is told to stop.
    ::fcntl(LineFd(), F_SETFL, ::fcntl(LineFd(), F_GETFL) | O_NONBLOCK);
    if (line_.pty) {
        watches_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        Watch(line_);
    }
}

void PhoneServer::Watch(Device& device) {
    if (watches_ < 0) return;
    device.watch = ::inotify_add_watch(watches_, device.pty->Path().c_str(), IN_OPEN | IN_CLOSE);
    if (device.watch < 0) {
        ::close(watches_);
        watches_ = -1;
    }
}

std::string PhoneServer::OpenTap(std::function<void(const std::string&)> complain) {
    tap_.pty = std::make_unique<Pty>();
    ::fcntl(tap_.pty->MasterFd(), F_SETFL, ::fcntl(tap_.pty->MasterFd(), F_GETFL) | O_NONBLOCK);
    tapComplaint_ = std::move(complain);
    Watch(tap_);
    return tap_.pty->Path();
}

void PhoneServer::CloseLine() {
    if (line_.pty) {
        line_.pty->CloseMaster();
    } else if (lineFd_ >= 0) {
        ::close(lineFd_);
        lineFd_ = -1;
    }
}

PhoneServer::~PhoneServer() {
    Stop();
    if (!line_.pty) CloseLine();
    ::close(wake_[0]);
    ::close(wake_[1]);
    if (watches_ >= 0) ::close(watches_);
}

void PhoneServer::Start() {
    stopFd_ = wake_[0];
    thread_ = std::thread([this] { Serve(wake_[0]); });
}

void PhoneServer::Stop() {
    if (!thread_.joinable()) return;
    const char stop = 1;
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
}

void PhoneServer::PullCable() {
    pullCable_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
}

void PhoneServer::ResetDevice(Device& device, bool settings) {
    if (!device.pty) return;
    // Bytes said to the last client would reach the next one.
    ::tcflush(device.pty->SlaveFd(), TCIFLUSH);
    if (!settings) return;
    // A tool killed while it had the device open leaves it in exclusive use
    // (only privileged programs could open it again); tools sharing the
    // virtual phone still keep each other out with their lock files.
    ::ioctl(device.pty->SlaveFd(), TIOCNXCL);
    // ... and its line settings, which the next tool could not set again.
    device.pty->RestoreSettings();
}

bool PhoneServer::ClientsChanged() {
    alignas(inotify_event) char events[4096];
    bool lineClosed = false, tapChanged = false;
    for (ssize_t n; (n = ::read(watches_, events, sizeof events)) > 0;) {
        for (char* at = events; at < events + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->wd != line_.watch && event->wd != tap_.watch) continue;
            Device& device = event->wd == line_.watch ? line_ : tap_;
            const int change = (event->mask & IN_OPEN) != 0 ? 1 : (event->mask & IN_CLOSE) != 0 ? -1 : 0;
            device.clients = std::max(0, device.clients.load() + change);
            if (&device == &line_ && change < 0) lineClosed = true;
            if (&device == &tap_ && change != 0) tapChanged = true;
        }
    }
    if (lineClosed) {
        const bool vacant = line_.clients == 0;
        // The settings stay when a new client already has the device open: it has set its own.
        ResetDevice(line_, vacant);
        // What the departed client wrote and the phone has not read yet goes with it: answered, it
        // would reach the next client as replies to words it never said.
        if (vacant && line_.pty) ::tcflush(line_.pty->MasterFd(), TCIFLUSH);
        phone_->HangUp();
    }
    if (tapChanged) ResetDevice(tap_, tap_.clients == 0);
    return lineClosed;
}

void PhoneServer::HoldLine(bool held) {
    if (line_.pty) ::tcflow(line_.pty->SlaveFd(), held ? TCOOFF : TCOON);
}

void PhoneServer::SendBreak() {
    static const std::uint8_t breakCommand[] = {0x01, 0x62};
    std::lock_guard<std::mutex> lock(writing_);
    if (kind_ == LineKind::QemuMux) WriteRaw(breakCommand, sizeof breakCommand);
}

bool PhoneServer::Say(const ByteString& bytes) {
    std::lock_guard<std::mutex> lock(writing_);
    Tap(bytes.data(), bytes.size());
    return WriteAll(bytes.data(), bytes.size());
}

bool PhoneServer::StopRequested() const {
    pollfd stop{stopFd_, POLLIN, 0};
    return stopFd_ >= 0 && ::poll(&stop, 1, 0) > 0 && !pullCable_;
}

bool PhoneServer::WaitUntil(Clock::time_point at) {
    while (Clock::now() < at) {
        const long long left = std::chrono::duration_cast<std::chrono::nanoseconds>(at - Clock::now()).count();
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {watches_, POLLIN, 0}};
        const timespec wait{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        if (::ppoll(fds, 2, &wait, nullptr) <= 0) continue;
        if (StopRequested()) return false;
        if (fds[1].revents != 0 && ClientsChanged()) return false;
        if (fds[0].revents != 0 && pullCable_) return false;
    }
    return true;
}

bool PhoneServer::WriteAll(const std::uint8_t* data, std::size_t size) {
    if (kind_ != LineKind::QemuMux) return WriteRaw(data, size);
    ByteString escaped;
    for (std::size_t i = 0; i < size; ++i) {
        escaped.push_back(data[i]);
        if (data[i] == 0x01) escaped.push_back(0x01);
    }
    return WriteRaw(escaped.data(), escaped.size());
}

bool PhoneServer::WriteRaw(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(LineFd(), data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;  // the line is gone
        // The tool is not reading: wait for room, or for the word to stop.
        pollfd fds[2] = {{LineFd(), POLLOUT, 0}, {stopFd_, POLLIN, 0}};
        ::poll(fds, stopFd_ >= 0 ? 2 : 1, 100);
        if (StopRequested()) return false;
    }
    return true;
}

void PhoneServer::Tap(const std::uint8_t* data, std::size_t size) {
    // Nobody listens: the bytes would wait for the next listener.
    if (!tap_.pty || size == 0 || (watches_ >= 0 && tap_.clients == 0)) return;
    // A listener that does not read loses bytes; the line never waits for it.
    (void)!::write(tap_.pty->MasterFd(), data, size);
}

void PhoneServer::ReadTap() {
    std::uint8_t bytes[256];
    const ssize_t n = ::read(tap_.pty->MasterFd(), bytes, sizeof bytes);
    if (n > 0 && tapComplaint_)
        tapComplaint_("the listener wrote into the tap, which only listens: " + BytesToHex(ByteString(bytes, bytes + n)));
}

void PhoneServer::Serve(int stopFd) {
    stopFd_ = stopFd;
    std::uint8_t buffer[4096];
    for (;;) {
        const bool lineThere = LineFd() >= 0;
        const int tapFd = tap_.pty ? tap_.pty->MasterFd() : -1;
        pollfd fds[4] = {{stopFd, POLLIN, 0}, {watches_, POLLIN, 0}, {tapFd, POLLIN, 0}, {LineFd(), POLLIN, 0}};
        // Where clients cannot be watched, a pseudo-terminal is made ready for the next one while the line is quiet.
        if (watches_ < 0 && line_.pty) {
            ResetDevice(line_, true);
            phone_->HangUp();
        }
        if (::poll(fds, lineThere ? 4 : 3, watches_ < 0 ? ResetCheckMs : -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) ClientsChanged();
        if (fds[2].revents & POLLIN) ReadTap();
        if (fds[0].revents != 0) {
            if (!pullCable_.exchange(false)) return;
            char wake = 0;
            (void)!::read(stopFd, &wake, 1);
            CloseLine();
            continue;
        }
        if (!lineThere || fds[3].revents == 0) continue;
        const ssize_t n = ::read(LineFd(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (!line_.pty) return;  // the far end of a given line closed it
            // Nobody holds the device just now; look again shortly.
            ::usleep(20000);
            continue;
        }
        Heard(ByteString(buffer, buffer + n));
    }
}

void PhoneServer::Heard(const ByteString& chunk) {
    const auto arrived = std::chrono::steady_clock::now();
    Tap(chunk.data(), chunk.size());
    const std::size_t framesBefore = phone_->FramesHeard().size();
    const ByteString answer = phone_->Hear(chunk);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (heard_.empty()) firstHeard_ = arrived;
        heard_.insert(heard_.end(), chunk.begin(), chunk.end());
        const auto& frames = phone_->FramesHeard();
        for (std::size_t i = framesBefore; i < frames.size(); ++i)
            if (frames[i].size() == 6 && answered_ != std::chrono::steady_clock::time_point{})
                ackLatencies_.push_back(std::chrono::duration<double>(arrived - answered_).count());
    }
    if (log_) log_("PC->phone " + BytesToHex(chunk));
    if (answer.empty()) return;
    if (log_) log_("phone->PC " + BytesToHex(answer));
    if (beforeAnswer_) beforeAnswer_(answer);
    Send(answer, phone_->Echo());
    std::lock_guard<std::mutex> lock(mutex_);
    answered_ = std::chrono::steady_clock::now();
    said_ += answer.size();
}

void PhoneServer::Send(const ByteString& bytes, std::pair<std::size_t, std::size_t> echo) {
    std::lock_guard<std::mutex> lock(writing_);
    const auto start = Clock::now();
    for (const Burst& burst : Schedule(delivery_, bytes.size())) {
        if (burst.at > 0 && !WaitUntil(start + std::chrono::nanoseconds(burst.at))) return;
        // The listener hears what the phone's end says; the echo is the PC's own bytes, heard already.
        ByteString said;
        for (std::size_t i = burst.begin; i < burst.end; ++i)
            if (i < echo.first || i >= echo.second) said.push_back(bytes[i]);
        Tap(said.data(), said.size());
        if (!WriteAll(bytes.data() + burst.begin, burst.end - burst.begin)) return;
    }
}

}  // namespace kelvra
