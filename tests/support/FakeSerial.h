// SPDX-License-Identifier: MIT
#pragma once
// A serial line on the virtual clock: records every byte written, delivers
// scripted bytes and line events when the clock reaches them, and can fail
// or stall like a real port.

#include <optional>
#include <string>
#include <vector>

#include "serial/SerialComm.h"
#include "tests/support/FakeRuntime.h"

namespace kelvra::test {

class FakeSerial : public SerialComm {
public:
    explicit FakeSerial(FakeRuntime& runtime) : runtime_(runtime) {}

    // Bytes reach the receive buffer `delay` seconds from now; lost while the port is closed.
    void Deliver(Bytes bytes, double delay = 0.0) {
        runtime_.After(delay, [this, bytes = std::move(bytes)] {
            if (open) inBuffer.insert(inBuffer.end(), bytes.begin(), bytes.end());
        });
    }
    void Raise(std::int16_t code, double delay = 0.0) {
        runtime_.After(delay, [this, code] {
            if (!open) return;
            event_ = code;
            RaiseOnComm();
        });
    }

    // The far end of the line: hears every Output.
    std::function<void(const Bytes&)> farEnd;
    // The next open fails with this description.
    std::optional<std::string> openError;
    // Bytes that never leave the transmit buffer (a held line).
    int stuckOutput = 0;
    // Reading received bytes fails with this description.
    std::optional<std::string> inputError;
    // Setting the break state fails with this description.
    std::optional<std::string> breakError;

    bool open = false;
    std::int16_t port = 1;
    Bytes inBuffer;
    std::vector<Bytes> written;
    int opens = 0;
    int closes = 0;
    int inDiscards = 0;
    int outDiscards = 0;

    Bytes AllWritten() const {
        Bytes all;
        for (const Bytes& b : written) all.insert(all.end(), b.begin(), b.end());
        return all;
    }

    void SetCommPort(std::int16_t p) override { port = p; }
    bool PortOpen() const override { return open; }
    void SetListenOnly(bool) override {}
    void SetPortOpen(bool wanted) override {
        if (wanted == open) return;
        if (wanted && openError) throw CommError(*openError);
        open = wanted;
        (wanted ? opens : closes)++;
    }
    int InBufferCount() const override {
        RequireOpen();
        if (inputError) throw CommError(*inputError);
        return static_cast<int>(inBuffer.size());
    }
    void SetInBufferCount(int) override {
        if (!open) return;
        ++inDiscards;
        inBuffer.clear();
    }
    int OutBufferCount() const override {
        RequireOpen();
        return stuckOutput;
    }
    void SetOutBufferCount(int) override {
        if (open) ++outDiscards;
    }
    void Output(const Bytes& bytes) override {
        RequireOpen();
        written.push_back(bytes);
        if (farEnd) farEnd(bytes);
    }
    Bytes Input() override {
        RequireOpen();
        if (inputError) throw CommError(*inputError);
        Bytes taken;
        taken.swap(inBuffer);
        return taken;
    }
    void SetBreak(bool) override {
        if (breakError) throw CommError(*breakError);
        ++breakResets;
    }
    std::int16_t CommEvent() const override { return event_; }

    int breakResets = 0;

private:
    void RequireOpen() const {
        if (!open) throw CommError("Operation valid only when the port is open");
    }

    FakeRuntime& runtime_;
    std::int16_t event_ = 0;
};

}  // namespace kelvra::test
