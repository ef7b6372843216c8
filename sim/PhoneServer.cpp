// SPDX-License-Identifier: MIT
#include "sim/PhoneServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {
// 11 bits a byte at 9600 baud.
constexpr long NanosPerByte = 11L * 1000000000L / 9600L;
constexpr long TrickleGapNanos = 2000000L;
constexpr long SplitGapNanos = 3000000L;
// How often the device is reset while the line is quiet, where clients
// closing it cannot be watched.
constexpr int ResetCheckMs = 200;

void AddNanos(timespec& t, long nanos) {
    t.tv_nsec += nanos;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

void SleepUntil(const timespec& at) {
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}
}  // namespace

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
    : pty_(lineFd < 0 ? std::make_unique<Pty>() : nullptr),
      lineFd_(lineFd),
      kind_(kind),
      phone_(std::move(far)),
      delivery_(delivery),
      log_(std::move(log)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    // Neither reading nor writing may block: the server must notice when it is told to stop.
    ::fcntl(LineFd(), F_SETFL, ::fcntl(LineFd(), F_GETFL) | O_NONBLOCK);
    if (pty_) {
        closes_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (closes_ >= 0 && ::inotify_add_watch(closes_, pty_->Path().c_str(), IN_CLOSE) < 0) {
            ::close(closes_);
            closes_ = -1;
        }
    }
}

void PhoneServer::CloseLine() {
    if (pty_) {
        pty_->CloseMaster();
    } else if (lineFd_ >= 0) {
        ::close(lineFd_);
        lineFd_ = -1;
    }
}

PhoneServer::~PhoneServer() {
    Stop();
    if (!pty_) CloseLine();
    ::close(wake_[0]);
    ::close(wake_[1]);
    if (closes_ >= 0) ::close(closes_);
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

ByteString PhoneServer::Heard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
}

std::vector<double> PhoneServer::AckLatencies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ackLatencies_;
}

std::chrono::steady_clock::time_point PhoneServer::FirstHeardAt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstHeard_;
}

std::size_t PhoneServer::BytesSaid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return said_;
}

void PhoneServer::PullCable() {
    pullCable_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
}

void PhoneServer::ResetDevice() {
    if (!pty_) return;
#ifdef TIOCNXCL
    // A tool killed while it had the device open leaves it in exclusive use
    // (only privileged programs could open it again); tools sharing the
    // virtual phone still keep each other out with their lock files.
    ::ioctl(pty_->SlaveFd(), TIOCNXCL);
#endif
    // ... and its line settings, which the next tool could not set again.
    pty_->RestoreSettings();
    phone_->HangUp();
}

bool PhoneServer::ClientClosed() {
    alignas(inotify_event) char events[4096];
    bool closed = false;
    while (::read(closes_, events, sizeof events) > 0) closed = true;
    return closed;
}

void PhoneServer::HoldLine(bool held) {
    if (pty_) ::tcflow(pty_->SlaveFd(), held ? TCOOFF : TCOON);
}

void PhoneServer::SendBreak() {
    static const std::uint8_t breakCommand[] = {0x01, 0x62};
    std::lock_guard<std::mutex> lock(writing_);
    if (kind_ == LineKind::QemuMux) WriteRaw(breakCommand, sizeof breakCommand);
}

bool PhoneServer::Say(const ByteString& bytes) {
    std::lock_guard<std::mutex> lock(writing_);
    return WriteAll(bytes.data(), bytes.size());
}

bool PhoneServer::StopRequested() const {
    pollfd stop{stopFd_, POLLIN, 0};
    return stopFd_ >= 0 && ::poll(&stop, 1, 0) > 0 && !pullCable_;
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

void PhoneServer::Serve(int stopFd) {
    stopFd_ = stopFd;
    std::uint8_t buffer[4096];
    for (;;) {
        const bool lineThere = LineFd() >= 0;
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {closes_, POLLIN, 0}, {LineFd(), POLLIN, 0}};
        if (closes_ < 0) ResetDevice();
        if (::poll(fds, lineThere ? 3 : 2, closes_ < 0 ? ResetCheckMs : -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0 && ClientClosed()) ResetDevice();
        if (fds[0].revents != 0) {
            if (!pullCable_.exchange(false)) return;
            char wake = 0;
            (void)!::read(stopFd, &wake, 1);
            CloseLine();
            continue;
        }
        if (!lineThere || fds[2].revents == 0) continue;
        const ssize_t n = ::read(LineFd(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (!pty_) return;  // the far end of a given line closed it
            // Nobody holds the device just now; look again shortly.
            ::usleep(20000);
            continue;
        }
        Heard(ByteString(buffer, buffer + n));
    }
}

void PhoneServer::Heard(const ByteString& chunk) {
    const auto arrived = std::chrono::steady_clock::now();
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
    Send(answer);
    std::lock_guard<std::mutex> lock(mutex_);
    answered_ = std::chrono::steady_clock::now();
    said_ += answer.size();
}

void PhoneServer::Send(const ByteString& bytes) {
    std::lock_guard<std::mutex> lock(writing_);
    const auto cut = static_cast<std::size_t>(delivery_.splitAt);
    if (delivery_.splitAt >= 0 && bytes.size() > cut) {
        if (!WriteAll(bytes.data(), cut)) return;
        timespec resume{};
        ::clock_gettime(CLOCK_MONOTONIC, &resume);
        AddNanos(resume, SplitGapNanos);
        SleepUntil(resume);
        WriteAll(bytes.data() + cut, bytes.size() - cut);
        return;
    }
    if (!delivery_.paced && !delivery_.trickle) {
        WriteAll(bytes.data(), bytes.size());
        return;
    }
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (const std::uint8_t& byte : bytes) {
        // A byte is on the line once all its bits have gone.
        AddNanos(next, delivery_.paced ? NanosPerByte : TrickleGapNanos);
        SleepUntil(next);
        if (!WriteAll(&byte, 1)) return;
    }
}

}  // namespace kelvra
