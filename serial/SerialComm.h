// SPDX-License-Identifier: MIT
#pragma once
// The serial communications component that every M2BUS byte passes through.
// Plain C++ so that the link can be driven by a fake line in tests.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra {

using Bytes = std::vector<std::uint8_t>;

// A frame still incomplete after this long without a byte is taken as it
// stands (LineObserver::LineQuiet): at 9600 baud the bytes of one frame are
// never this far apart.
constexpr double LineQuietSeconds = 0.1;

// An operation of the component failed. what() is the description shown to
// the user: "<device>: <reason>" when the failure is the device's, and
// Device() and Reason() are its parts; Device() is empty for the others.
class CommError : public std::runtime_error {
public:
    explicit CommError(const std::string& reason) : std::runtime_error(reason), reason_(reason) {}
    CommError(const std::string& device, const std::string& reason)
        : std::runtime_error(device + ": " + reason), device_(device), reason_(reason) {}
    const std::string& Device() const { return device_; }
    const std::string& Reason() const { return reason_; }

private:
    std::string device_;
    std::string reason_;
};

// Codes reported through CommEvent. Anything else is an unknown event.
namespace CommEventCode {
constexpr std::int16_t Send = 1;
constexpr std::int16_t Receive = 2;
constexpr std::int16_t CtsChange = 3;
constexpr std::int16_t DsrChange = 4;
constexpr std::int16_t CdChange = 5;
constexpr std::int16_t Ring = 6;
constexpr std::int16_t EndOfFile = 7;
constexpr std::int16_t Break = 1001;
constexpr std::int16_t CtsTimeout = 1002;
constexpr std::int16_t DsrTimeout = 1003;
constexpr std::int16_t Frame = 1004;
constexpr std::int16_t Overrun = 1005;
constexpr std::int16_t CdTimeout = 1006;
constexpr std::int16_t RxOver = 1007;
constexpr std::int16_t RxParity = 1008;
constexpr std::int16_t TxFull = 1009;
// The device disappeared while the port was open (an adapter pulled out);
// CommEventText() names it.
constexpr std::int16_t DeviceLost = 1010;
}  // namespace CommEventCode

// Sees everything that passes the component, in order: the port opening
// and closing, every byte written and read, every line event. A capture of
// the line implements it.
class LineObserver {
public:
    virtual ~LineObserver() = default;
    // `settings` as "9600 8O1".
    virtual void Opened(const std::string& device, int port, const std::string& settings) = 0;
    // The port could not be opened, for `reason` (the component's own words).
    virtual void OpenFailed(const std::string& device, int port, const std::string& reason) = 0;
    virtual void Closed() = 0;
    virtual void Written(const Bytes& bytes) = 0;
    virtual void Read(const Bytes& bytes) = 0;
    // No byte has come for LineQuietSeconds since the last read: a frame
    // still incomplete was cut short.
    virtual void LineQuiet() = 0;
    // `text`: the component's own description, for the codes it adds (DeviceLost).
    virtual void LineEvent(std::int16_t code, const std::string& text) = 0;
};

class SerialComm {
public:
    virtual ~SerialComm() = default;

    // Port number 1 to 4, used at the next open.
    virtual void SetCommPort(std::int16_t port) = 0;

    virtual bool PortOpen() const = 0;
    // Opens the selected port with the fixed line settings, or closes it. Throws CommError.
    virtual void SetPortOpen(bool open) = 0;
    // Whether the next open is for listening only: the device opened for
    // reading where the platform allows, and Output refused.
    virtual void SetListenOnly(bool listenOnly) = 0;

    // Received bytes waiting. Throws CommError while the port is closed.
    virtual int InBufferCount() const = 0;
    // Only 0 is meaningful: discards received bytes not yet read.
    virtual void SetInBufferCount(int count) = 0;
    // Bytes not yet on the line. Throws CommError while the port is closed.
    virtual int OutBufferCount() const = 0;
    // Only 0 is meaningful: discards bytes not yet sent.
    virtual void SetOutBufferCount(int count) = 0;

    // Queues bytes for sending, in order and unchanged. Throws CommError while closed.
    virtual void Output(const Bytes& bytes) = 0;
    // Takes every received byte waiting. Throws CommError while closed.
    virtual Bytes Input() = 0;

    virtual void SetBreak(bool on) = 0;

    // Code of the event being reported, valid inside the OnComm handler.
    virtual std::int16_t CommEvent() const = 0;
    // The component's own failure that the event reports, for the codes it
    // adds to the standard ones (DeviceLost); none for the others.
    virtual const CommError* CommEventError() const { return nullptr; }
    // That failure as shown; empty for the standard codes.
    std::string CommEventText() const {
        const CommError* error = CommEventError();
        return error != nullptr ? error->what() : std::string();
    }

    // The handler runs once per line event or error, from the owner's event
    // processing, never from inside another operation of the component.
    void SetOnComm(std::function<void()> handler) { onComm_ = std::move(handler); }

    // Where everything that passes is told besides, if anywhere.
    void SetObserver(LineObserver* observer) { observer_ = observer; }
    // Says when an open that waits (for another run taking the device's lock)
    // is to give up: the run is ending.
    void SetInterrupted(std::function<bool()> interrupted) { interrupted_ = std::move(interrupted); }

protected:
    bool Interrupted() const { return interrupted_ && interrupted_(); }
    void RaiseOnComm() {
        if (onComm_) onComm_();
    }
    LineObserver* Observer() const { return observer_; }

private:
    std::function<void()> onComm_;
    LineObserver* observer_ = nullptr;
    std::function<bool()> interrupted_;
};

}  // namespace kelvra
