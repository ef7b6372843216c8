// SPDX-License-Identifier: MIT
#include "serial/network/NetworkSerialComm.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace kelvra {

namespace {
constexpr int WaitStepMs = 50;

// "1.5" for 1500 ms.
std::string Seconds(std::chrono::milliseconds time) {
    const auto tenths = time.count() / 100;
    return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "");
}
// How long closing waits for the server to take the last bytes and end the connection.
constexpr int CloseWaitMs = 1000;
}  // namespace

NetworkSerialComm::NetworkSerialComm(PortMap ports, QObject* parent) : SerialPortBase(std::move(ports), parent) {
    connect(&socket_, &QTcpSocket::readyRead, this, &NetworkSerialComm::OnReadyRead);
    connect(&socket_, &QTcpSocket::disconnected, this, &NetworkSerialComm::OnDropped);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NetworkSerialComm::OnDropped);
}

NetworkSerialComm::~NetworkSerialComm() {
    socket_.disconnect(this);
    socket_.abort();
}

void NetworkSerialComm::Fail(const std::string& reason) {
    socket_.abort();
    throw CommError(Device(), reason);
}

void NetworkSerialComm::OpenDevice() {
    const auto address = ParseNetworkAddress(Device());
    if (!address) throw CommError(Device(), "not a device server's address (rfc2217://HOST:PORT or tcp://HOST:PORT)");
    rfc2217_ = address->scheme == NetworkAddress::Scheme::Rfc2217;
    session_ = {};
    received_.clear();
    rawGreeting_.clear();
    const Deadline deadline = std::chrono::steady_clock::now() + OpenTime;
    Connect(*address, deadline);
    // What came before the line was set up is not the phone's answer to anything (a local port purges
    // it too): over RFC 2217 what came before the server's purge, over raw TCP what came while waiting.
    if (rfc2217_) {
        SetUpRfc2217(*address, deadline);
    } else {
        AwaitRawGreeting(*address);
        received_.clear();
    }
    MarkOpened();
    // Bytes that came with the last answer are read on the next event pass.
    if (socket_.bytesAvailable() > 0) QMetaObject::invokeMethod(this, &NetworkSerialComm::OnReadyRead, Qt::QueuedConnection);
}

void NetworkSerialComm::Connect(const NetworkAddress& address, Deadline deadline) {
    socket_.abort();
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket_.connectToHost(QString::fromStdString(address.host), address.port);
    for (;;) {
        if (socket_.state() == QAbstractSocket::ConnectedState) return;
        if (socket_.state() == QAbstractSocket::UnconnectedState)
            Fail("cannot connect to " + address.HostPort() + ": " + socket_.errorString().toStdString());
        if (Interrupted()) Fail("not opened, the run is ending");
        if (std::chrono::steady_clock::now() >= deadline)
            Fail("cannot connect to " + address.HostPort() + ": no answer within " + Seconds(OpenTime) + " s");
        Step();
    }
}

void NetworkSerialComm::Step() {
    // The socket's own waits give up on the connection when they time out, so the socket is left to
    // the event loop instead, woken at least every step; user input waits until the port is open.
    QTimer step;
    step.setSingleShot(true);
    step.start(WaitStepMs);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
}

bool NetworkSerialComm::WaitFor(const std::function<bool()>& done, Deadline deadline) {
    for (;;) {
        Take();
        if (done()) return true;
        if (socket_.state() != QAbstractSocket::ConnectedState && socket_.bytesAvailable() == 0) return false;
        if (Interrupted()) Fail("not opened, the run is ending");
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Step();
    }
}

namespace {
// The server's words when it turns a client away, quoted in the message.
std::string Said(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = ' ';
    return text;
}

std::string Refused(const NetworkAddress& address, const std::string& greeting) {
    const std::string said = Said(greeting);
    if (said.find("in use") != std::string::npos) return "in use (" + address.HostPort() + " says \"" + said + "\")";
    return address.HostPort() + " closed the connection" + (said.empty() ? "" : " saying \"" + said + "\"");
}
}  // namespace

void NetworkSerialComm::SetUpRfc2217(const NetworkAddress& address, Deadline deadline) {
    Send(Rfc2217::Session::Opening());
    const bool settled = WaitFor([this] { return session_.Settled() || !session_.Refusal().empty(); }, deadline);
    if (!session_.Refusal().empty())
        Fail(address.HostPort() + " refused the line settings 9600 8O1: " + session_.Refusal());
    if (settled) return;
    if (socket_.state() != QAbstractSocket::ConnectedState) Fail(Refused(address, session_.Greeting()));
    Fail(address.HostPort() + " did not answer the line settings within " + Seconds(OpenTime) +
         " s (is it an RFC 2217 server? tcp://" + address.HostPort() + " takes its own settings)");
}

void NetworkSerialComm::AwaitRawGreeting(const NetworkAddress& address) {
    // A server that turns the client away says so and closes at once; one that keeps the
    // connection this long has given it the line.
    WaitFor([] { return false; }, std::chrono::steady_clock::now() + RawGreetingTime);
    if (socket_.state() != QAbstractSocket::ConnectedState) Fail(Refused(address, rawGreeting_));
}

void NetworkSerialComm::Take() {
    if (!socket_.isOpen()) return;
    const QByteArray wire = socket_.readAll();
    if (wire.isEmpty()) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(wire.constData());
    if (!rfc2217_) {
        if (!PortOpen()) {
            for (char c : wire)
                if (rawGreeting_.size() < 200) rawGreeting_.push_back(c);
        }
        received_.insert(received_.end(), bytes, bytes + wire.size());
        return;
    }
    session_.Feed(bytes, static_cast<std::size_t>(wire.size()));
    const Bytes data = session_.TakeData();
    received_.insert(received_.end(), data.begin(), data.end());
    if (const Bytes replies = session_.TakeReplies(); !replies.empty()) Send(replies);
    for (std::int16_t event : session_.TakeEvents())
        if (PortOpen()) Report(event);
}

void NetworkSerialComm::Send(const Bytes& wire) {
    socket_.write(reinterpret_cast<const char*>(wire.data()), static_cast<qint64>(wire.size()));
    socket_.flush();
}

void NetworkSerialComm::OnReadyRead() {
    if (!PortOpen() || Lost()) return;
    Take();
}

void NetworkSerialComm::OnDropped() {
    if (!PortOpen() || Lost()) return;
    // Line events the server sent before the end are still told; its last bytes go with the device,
    // as a local line's do when it hangs up.
    Take();
    if (socket_.state() == QAbstractSocket::ConnectedState) return;
    MarkLost();
}

void NetworkSerialComm::CloseDevice() {
    // What was written (the last acknowledgement) reaches the server before the connection ends,
    // and the server sees an orderly end, so it frees the line for the next client at once.
    if (socket_.state() == QAbstractSocket::ConnectedState) {
        socket_.disconnectFromHost();
        if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.waitForDisconnected(CloseWaitMs);
    }
    socket_.abort();
    received_.clear();
}

int NetworkSerialComm::InBufferCount() const {
    RequireUsable();
    return static_cast<int>(received_.size());
}

void NetworkSerialComm::SetInBufferCount(int count) {
    if (count != 0 || !PortOpen() || Lost()) return;
    Take();
    received_.clear();
}

int NetworkSerialComm::OutBufferCount() const {
    RequireOpen();
    if (Lost()) return 0;
    return static_cast<int>(socket_.bytesToWrite());
}

void NetworkSerialComm::SetOutBufferCount(int) {
    // Bytes handed to the network cannot be called back; nothing waits here before them.
}

void NetworkSerialComm::Output(const Bytes& bytes) {
    if (!AcceptOutput(bytes)) return;
    Send(rfc2217_ ? Telnet::Escaped(bytes) : bytes);
}

Bytes NetworkSerialComm::Input() {
    RequireUsable();
    Take();
    Bytes bytes = std::exchange(received_, {});
    TellRead(bytes);
    return bytes;
}

void NetworkSerialComm::SetBreak(bool on) {
    if (!PortOpen() || Lost() || !rfc2217_) return;
    Send(Rfc2217::Session::Break(on));
}

}  // namespace kelvra
