#include "sim/PhoneServer.h"

#include <fcntl.h>
#include <poll.h>
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

void AddNanos(timespec& t, long nanos) {
    t.tv_nsec += nanos;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return;  // the line is gone
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}
}  // namespace

PhoneServer::PhoneServer(PhoneOptions options, Delivery delivery, std::function<void(const std::string&)> log)
    : phone_(std::move(options)), delivery_(delivery), log_(std::move(log)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

PhoneServer::~PhoneServer() {
    Stop();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void PhoneServer::Start() {
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

void PhoneServer::PullCable() {
    pullCable_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
}

void PhoneServer::Serve(int stopFd) {
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd fds[2] = {{pty_.MasterFd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const bool lineThere = fds[0].fd >= 0;
        if (::poll(lineThere ? fds : fds + 1, lineThere ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((lineThere ? fds[1] : fds[0]).revents != 0) {
            if (!pullCable_.exchange(false)) return;
            char wake = 0;
            (void)!::read(stopFd, &wake, 1);
            pty_.CloseMaster();
            continue;
        }
        if (!lineThere || fds[0].revents == 0) continue;
        const ssize_t n = ::read(pty_.MasterFd(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            // Nobody holds the device just now; look again shortly.
            ::usleep(20000);
            continue;
        }
        const ByteString chunk(buffer, buffer + n);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            heard_.insert(heard_.end(), chunk.begin(), chunk.end());
        }
        if (log_) log_("PC->phone " + BytesToHex(chunk));
        const ByteString answer = phone_.Hear(chunk);
        if (answer.empty()) continue;
        if (log_) log_("phone->PC " + BytesToHex(answer));
        Send(answer);
    }
}

void PhoneServer::Send(const ByteString& bytes) {
    if (!delivery_.paced && !delivery_.trickle) {
        WriteAll(pty_.MasterFd(), bytes.data(), bytes.size());
        return;
    }
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (std::uint8_t byte : bytes) {
        AddNanos(next, delivery_.paced ? NanosPerByte : TrickleGapNanos);
        // A byte is on the line once all its bits have gone.
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        WriteAll(pty_.MasterFd(), &byte, 1);
    }
}

}  // namespace kelvra
