// SPDX-License-Identifier: MIT
#include "serial/windows/WinSerialComm.h"

#include <windows.h>

#include <QAbstractEventDispatcher>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "platform/System.h"
#include "serial/Devices.h"
#include "serial/PlatformSerial.h"
#include "serial/windows/CommEvents.h"
#include "serial/windows/SessionLedger.h"

namespace kelvra {

static_assert(WinComm::EvCts == EV_CTS && WinComm::EvDsr == EV_DSR && WinComm::EvRlsd == EV_RLSD &&
              WinComm::EvBreak == EV_BREAK && WinComm::EvErr == EV_ERR && WinComm::EvRing == EV_RING);
static_assert(WinComm::CeRxOver == CE_RXOVER && WinComm::CeOverrun == CE_OVERRUN &&
              WinComm::CeRxParity == CE_RXPARITY && WinComm::CeFrame == CE_FRAME && WinComm::CeBreak == CE_BREAK);
static_assert(WinComm::ErrorOperationAborted == ERROR_OPERATION_ABORTED);

using Ledger = WinComm::SessionLedger;

namespace {

// The largest read; the driver's own buffer takes the rest.
constexpr DWORD ReadChunk = 4096;
// How long closing waits for cancelled operations to complete; a driver that
// takes longer leaves its session behind, freed once the last of them has.
constexpr auto CloseWait = std::chrono::seconds(2);

std::string SystemText(DWORD code) { return System::ErrorText(code); }

// COM5 -> \\.\COM5; a name already in the device namespace is kept.
std::wstring DeviceName(const std::string& device) {
    const QString name = QString::fromStdString(device);
    return (name.startsWith(QLatin1String("\\\\.\\")) ? name : QStringLiteral("\\\\.\\") + name).toStdWString();
}

// The wait that ran a completion returns, so that a receive wait looks at what came.
void WakeEventLoop() {
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->interrupt();
}

}  // namespace

struct WinSerialComm::Session {
    // An overlapped operation that knows its session.
    struct Operation {
        OVERLAPPED overlapped{};
        Session* session = nullptr;
    };

    Session(WinSerialComm* component, HANDLE device) : owner(component), handle(device) {
        read.session = write.session = this;
        event.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Session() { CloseHandle(event.hEvent); }

    // Whether a completion is to reach the component: not once it is closing.
    WinSerialComm* Live() const { return cancelling ? nullptr : owner; }

    static void CALLBACK ReadCompleted(DWORD error, DWORD count, OVERLAPPED* overlapped) {
        Session* s = reinterpret_cast<Operation*>(overlapped)->session;
        s->reading = false;
        // Ended before the owner hears of it: the owner may start the next read.
        if (s->ledger.Finished(Ledger::Operation::Read)) delete s;
        else if (WinSerialComm* owner = s->Live()) owner->ReadDone(error, count);
        WakeEventLoop();
    }
    static void CALLBACK WriteCompleted(DWORD error, DWORD, OVERLAPPED* overlapped) {
        Session* s = reinterpret_cast<Operation*>(overlapped)->session;
        if (s->ledger.Finished(Ledger::Operation::Write)) delete s;
        else if (WinSerialComm* owner = s->Live()) owner->WriteDone(error);
        WakeEventLoop();
    }
    // On a thread of the system's, when WaitCommEvent has ended: the rest runs on the owner's thread.
    static void CALLBACK EventSignalled(void* context, BOOLEAN) {
        auto* s = static_cast<Session*>(context);
        s->callbackRan = true;
        // Counted before it is queued, so that the session outlives the call.
        s->ledger.CallQueued();
        s->ledger.Finished(Ledger::Operation::EventWait);
        QueueUserAPC(&Session::EventCall, s->ownerThread, reinterpret_cast<ULONG_PTR>(s));
    }
    // Carries its session: a call of a session closed meanwhile only counts down.
    static void CALLBACK EventCall(ULONG_PTR context) {
        auto* s = reinterpret_cast<Session*>(context);
        if (s->ledger.CallRan()) {
            delete s;
        } else if (WinSerialComm* owner = s->Live()) {
            if (s->eventWait != nullptr) {
                UnregisterWait(s->eventWait);
                s->eventWait = nullptr;
            }
            owner->EventDone();
        }
        WakeEventLoop();
    }
    // On a thread of the system's: a wait the driver ended only after its session was let go.
    static void CALLBACK LateEventEnded(void* context, BOOLEAN) {
        auto* s = static_cast<Session*>(context);
        UnregisterWait(s->lateWait);
        if (s->ledger.Finished(Ledger::Operation::EventWait)) delete s;
    }

    WinSerialComm* owner;
    HANDLE handle;
    HANDLE ownerThread = nullptr;
    HANDLE eventWait = nullptr;
    // Watches, after the close, for the driver to end a wait it still had.
    HANDLE lateWait = nullptr;
    DCB original{};
    Operation read, write;
    OVERLAPPED event{};
    BYTE readBuffer[ReadChunk];
    Bytes writing;
    DWORD eventMask = 0;
    // Line errors ClearCommError reported, kept for the next line event.
    DWORD lineErrors = 0;
    bool reading = false;
    // Reads in flight that a flush ended: their completions are not the device's failures.
    int abortsAsked = 0;
    // The wait callback has run (set on the system's thread, read after the wait is unregistered).
    std::atomic<bool> callbackRan{false};
    // WaitCommEvent works on this device (a pseudo-terminal under Wine may refuse it).
    bool events = true;
    int emptyEvents = 0;
    // Closing: what ends now is the cancel the component asked for.
    bool cancelling = false;
    // What the driver and the queued calls still have; the session is freed once nothing is out.
    Ledger ledger;
};

WinSerialComm::WinSerialComm(PortMap ports, QObject* parent) : SerialPortBase(std::move(ports), parent) {
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    ownerThread_ = thread;
}

WinSerialComm::~WinSerialComm() {
    if (PortOpen()) CloseDevice();
    // Completions queued for this thread run now; a session left behind frees itself with its last.
    RunCompletions();
    CloseHandle(static_cast<HANDLE>(ownerThread_));
}

void WinSerialComm::RunCompletions() const {
    while (SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
}

void WinSerialComm::OpenDevice() {
    const std::string& device = Device();
    // A listener asks for reading alone.
    const DWORD access = ListenOnly() ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = CreateFileW(DeviceName(device).c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        std::string failure = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
                                  ? std::string("in use by another program")
                                  : SystemText(code);
        if (const std::string hint = AdapterHint(device, CommPort(), SerialDevices()); !hint.empty()) failure += "\n" + hint;
        throw CommError(device, failure);
    }
    DCB line{};
    line.DCBlength = sizeof line;
    auto fail = [&](DWORD code) {
        CloseHandle(handle);
        throw CommError(device, SystemText(code));
    };
    if (!GetCommState(handle, &line)) fail(GetLastError());
    DCB original = line;
    // Restored at the close: a driver that reports equal XON and XOFF characters (0 and 0) would refuse them.
    if (original.XonChar == original.XoffChar) {
        original.XonChar = 0x11;
        original.XoffChar = 0x13;
    }
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = ODDPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE;
    // Never used (no XON/XOFF), but SetCommState refuses equal characters, and some drivers report 0 and 0.
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    // No time-outs: a read ends when the bytes it asks for are there. It asks
    // for what is waiting, or for one byte when nothing is, so a read in
    // flight is an event that comes with the first byte (on Windows and under
    // Wine alike).
    COMMTIMEOUTS timeouts{};
    if (!SetCommState(handle, &line) || !SetCommTimeouts(handle, &timeouts)) fail(GetLastError());
    SetupComm(handle, ReadChunk, ReadChunk);
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    session_ = new Session(this, handle);
    session_->original = original;
    session_->ownerThread = static_cast<HANDLE>(ownerThread_);
    session_->events = SetCommMask(handle, EV_BREAK | EV_ERR | EV_CTS | EV_DSR | EV_RLSD | EV_RING) != 0;
    breakOn_ = false;
    received_.clear();
    unsent_.clear();
    inFlight_ = 0;
    MarkOpened();
    StartRead();
    StartEventWait();
}

void WinSerialComm::CloseDevice() {
    Session* s = session_;
    session_ = nullptr;
    unsent_.clear();
    received_.clear();
    inFlight_ = 0;
    if (s == nullptr) return;
    s->cancelling = true;
    // The documented end of a WaitCommEvent, then of every read and write; each completion runs here.
    SetCommMask(s->handle, 0);
    CancelIoEx(s->handle, nullptr);
    const auto giveUp = std::chrono::steady_clock::now() + CloseWait;
    while (!s->ledger.Quiet() && std::chrono::steady_clock::now() < giveUp) SleepEx(20, TRUE);
    if (s->eventWait != nullptr) {
        // Blocks until a callback that started has returned; none starts after.
        UnregisterWaitEx(s->eventWait, INVALID_HANDLE_VALUE);
        s->eventWait = nullptr;
        const bool ended = WaitForSingleObject(s->event.hEvent, 0) == WAIT_OBJECT_0;
        if (s->ledger.WaitUnregistered(s->callbackRan, ended) == Ledger::EventWaitEnd::WatchDriver &&
            !RegisterWaitForSingleObject(&s->lateWait, s->event.hEvent, &Session::LateEventEnded, s, INFINITE,
                                         WT_EXECUTEONLYONCE)) {
            // Nothing can watch it: the session stays, rather than be freed under the driver.
            s->lateWait = nullptr;
        }
    }
    // The line as it was found: the next program, or a pseudo-terminal under Wine, expects it.
    SetCommState(s->handle, &s->original);
    CloseHandle(s->handle);
    s->owner = nullptr;
    if (s->ledger.Close()) delete s;
}

WinSerialComm::Queues WinSerialComm::Status() const {
    COMSTAT status{};
    DWORD errors = 0;
    if (session_ == nullptr) return {};
    ClearCommError(session_->handle, &errors, &status);
    session_->lineErrors |= errors;
    return {status.cbInQue, status.cbOutQue};
}

void WinSerialComm::Failed(unsigned long error, bool read, unsigned long count) {
    if (session_ != nullptr && WinComm::DeviceLost(error, session_->cancelling, read, count)) MarkLost();
}

void WinSerialComm::StartRead() {
    if (!PortOpen() || Lost() || session_ == nullptr || session_->reading) return;
    // What is waiting, or one byte: the read ends with the first byte to come.
    const DWORD waiting = Status().in;
    const DWORD want = waiting == 0 ? 1 : std::min<DWORD>(waiting, ReadChunk);
    session_->read.overlapped = OVERLAPPED{};
    if (!ReadFileEx(session_->handle, session_->readBuffer, want, &session_->read.overlapped, &Session::ReadCompleted)) {
        Failed(GetLastError());
        return;
    }
    session_->reading = true;
    session_->ledger.Started(Ledger::Operation::Read);
}

void WinSerialComm::ReadDone(unsigned long error, unsigned long count) {
    if (session_->abortsAsked > 0) {
        --session_->abortsAsked;
        // The read a flush ended, with what it held from before the flush. A read that ended on its
        // own (Wine does not end one for a flush) brings what came after it and is taken.
        if (error == ERROR_OPERATION_ABORTED) {
            StartRead();
            return;
        }
    }
    if (error != ERROR_SUCCESS || count == 0) {
        Failed(error, true, count);
        return;
    }
    received_.insert(received_.end(), session_->readBuffer, session_->readBuffer + count);
    StartRead();
}

int WinSerialComm::InBufferCount() const {
    RunCompletions();
    RequireUsable();
    return static_cast<int>(received_.size());
}

void WinSerialComm::SetInBufferCount(int count) {
    if (count != 0 || !PortOpen() || Lost()) return;
    // Completions already queued run first, and the read in flight is ended too: no byte received
    // before the flush shows after it.
    RunCompletions();
    if (session_->reading) ++session_->abortsAsked;
    PurgeComm(session_->handle, PURGE_RXABORT | PURGE_RXCLEAR);
    received_.clear();
}

int WinSerialComm::OutBufferCount() const {
    RequireOpen();
    if (Lost()) return 0;
    // The bytes of a write in flight are in the driver's queue too: counted once.
    return static_cast<int>(unsent_.size() + std::max<std::size_t>(inFlight_, Status().out));
}

void WinSerialComm::SetOutBufferCount(int count) {
    if (count != 0 || !PortOpen() || Lost()) return;
    unsent_.clear();
    PurgeComm(session_->handle, PURGE_TXCLEAR);
}

void WinSerialComm::Output(const Bytes& bytes) {
    if (!AcceptOutput(bytes)) return;
    unsent_.insert(unsent_.end(), bytes.begin(), bytes.end());
    StartWrite();
}

void WinSerialComm::StartWrite() {
    if (unsent_.empty() || Lost() || inFlight_ != 0 || session_ == nullptr) return;
    session_->writing.swap(unsent_);
    unsent_.clear();
    session_->write.overlapped = OVERLAPPED{};
    if (!WriteFileEx(session_->handle, session_->writing.data(), static_cast<DWORD>(session_->writing.size()),
                     &session_->write.overlapped, &Session::WriteCompleted)) {
        Failed(GetLastError());
        return;
    }
    inFlight_ = session_->writing.size();
    session_->ledger.Started(Ledger::Operation::Write);
}

void WinSerialComm::WriteDone(unsigned long error) {
    inFlight_ = 0;
    if (error != ERROR_SUCCESS) {
        Failed(error);
        return;
    }
    StartWrite();
}

Bytes WinSerialComm::Input() {
    RunCompletions();
    RequireUsable();
    Bytes bytes;
    bytes.swap(received_);
    TellRead(bytes);
    return bytes;
}

void WinSerialComm::SetBreak(bool on) {
    if (!PortOpen() || Lost() || breakOn_ == on) return;
    if (!EscapeCommFunction(session_->handle, on ? SETBREAK : CLRBREAK))
        throw CommError(Device(), SystemText(GetLastError()));
    breakOn_ = on;
}

void WinSerialComm::StartEventWait() {
    Session* s = session_;
    if (!PortOpen() || Lost() || s == nullptr || !s->events) return;
    ResetEvent(s->event.hEvent);
    s->eventMask = 0;
    s->callbackRan = false;
    s->ledger.Started(Ledger::Operation::EventWait);
    if (WaitCommEvent(s->handle, &s->eventMask, &s->event)) {
        // Finished at once: handled at the next wait, so that a device that keeps answering cannot spin.
        s->ledger.CallQueued();
        s->ledger.Finished(Ledger::Operation::EventWait);
        QueueUserAPC(&Session::EventCall, s->ownerThread, reinterpret_cast<ULONG_PTR>(s));
        return;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_IO_PENDING &&
        RegisterWaitForSingleObject(&s->eventWait, s->event.hEvent, &Session::EventSignalled, s, INFINITE,
                                    WT_EXECUTEONLYONCE))
        return;
    // A wait the driver has that nothing watches keeps its session for ever rather than be freed under it.
    if (code != ERROR_IO_PENDING) s->ledger.Finished(Ledger::Operation::EventWait);
    // A device that cannot report line events (a pseudo-terminal under Wine) is left alone without a
    // word; one that is gone is lost.
    s->events = false;
    if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION &&
        code != ERROR_IO_PENDING)
        Failed(code);
}

void WinSerialComm::EventDone() {
    Session* s = session_;
    DWORD unused = 0;
    if (!GetOverlappedResult(s->handle, &s->event, &unused, FALSE)) {
        const DWORD code = GetLastError();
        s->events = false;
        if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION)
            Failed(code);
        return;
    }
    const DWORD mask = s->eventMask;
    Status();
    const DWORD errors = s->lineErrors;
    s->lineErrors = 0;
    const std::vector<std::int16_t> events = WinComm::LineEvents(mask, errors);
    for (const std::int16_t code : events) Report(code);
    // A device that keeps ending the wait with nothing to say cannot report line events.
    s->emptyEvents = events.empty() ? s->emptyEvents + 1 : 0;
    if (s->emptyEvents >= 3) {
        s->events = false;
        return;
    }
    StartEventWait();
}

std::unique_ptr<SerialComm> MakeLocalSerialComm(PortMap ports) { return std::make_unique<WinSerialComm>(std::move(ports)); }

}  // namespace kelvra
