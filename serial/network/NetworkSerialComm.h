// SPDX-License-Identifier: MIT
#pragma once

#include <QTcpSocket>

#include <chrono>
#include <functional>

#include "serial/SerialPortBase.h"
#include "serial/network/ComPortClient.h"
#include "serial/network/NetworkAddress.h"

namespace kelvra {

// The serial component for a line on a device server, on Qt Network: over
// RFC 2217 the server sets the line to 9600 8O1 without flow control and
// reports line faults as line events; over raw TCP the bytes pass as they
// come at the server's own settings. A connection that ends is a device gone.
// No lock file: the server lets one client at a time have the line.
class NetworkSerialComm : public SerialPortBase {
    Q_OBJECT
public:
    explicit NetworkSerialComm(PortMap ports = {}, QObject* parent = nullptr);
    ~NetworkSerialComm() override;

    int InBufferCount() const override;
    void SetInBufferCount(int count) override;
    int OutBufferCount() const override;
    void SetOutBufferCount(int count) override;
    void Output(const Bytes& bytes) override;
    Bytes Input() override;
    void SetBreak(bool on) override;

    // How long an open may take, from the connection to the server's last answer: a run tries
    // three times before it gives up, and a server that does not answer is to be named within 5 s.
    static constexpr std::chrono::milliseconds OpenTime{1500};
    // How long a raw server is given to turn the connection away ("Port already in use").
    static constexpr std::chrono::milliseconds RawGreetingTime{300};

private:
    using Deadline = std::chrono::steady_clock::time_point;

    void OpenDevice() override;
    void CloseDevice() override;
    void Connect(const NetworkAddress& address, Deadline deadline);
    void SetUpRfc2217(const NetworkAddress& address, Deadline deadline);
    void AwaitRawGreeting(const NetworkAddress& address);
    // Waits in steps for `done` (reading what comes meanwhile) until `deadline`, the run's end
    // or the connection's; says whether `done` came.
    bool WaitFor(const std::function<bool()>& done, Deadline deadline);
    [[noreturn]] void Fail(const std::string& reason);
    // Lets the socket work for up to one step of the wait.
    void Step();
    // Moves what the server sent into the received bytes and line events.
    void Take();
    void OnReadyRead();
    void OnDropped();
    void Send(const Bytes& wire);

    QTcpSocket socket_;
    bool rfc2217_ = false;
    Rfc2217::Session session_;
    Bytes received_;
    std::string rawGreeting_;
};

}  // namespace kelvra
