// SPDX-License-Identifier: MIT
#include "serial/windows/WinSerialComm.h"

#include <windows.h>

#include <QAbstractEventDispatcher>
#include <QAbstractEventDispatcher>
#include <QMetaObject>

#include <algorithm>
#include <string>

#include "serial/Devices.h"
#include "serial/PlatformSerial.h"

namespace kelvra {

namespace {

// The largest read; the driver's own buffer takes the rest.
constexpr DWORD ReadChunk = 4096;

std::string SystemText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString message = text != nullptr ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    if (message.endsWith(QLatin1Char('.'))) message.chop(1);
    return message.toStdString();
}

// COM5 -> \\.\COM5; a name already in the device namespace is kept.
std::wstring DeviceName(const std::string& device) {
    const QString name = QString::fromStdString(device);
    return (name.startsWith(QLatin1String("\\\\.\\")) ? name : QStringLiteral("\\\\.\\") + name).toStdWString();
}

bool Gone(DWORD code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_DEVICE_REMOVED ||
           code == ERROR_GEN_FAILURE || code == ERROR_INVALID_HANDLE || code == ERROR_FILE_NOT_FOUND ||
           code == ERROR_DEV_NOT_EXIST;
}

}  // namespace

// The handle and one overlapped operation of each kind. Reads and writes end
// in completion routines, which Windows runs on the owner's thread while its
// event loop waits (alertably); a line event ends in an event whose wait
// queues such a call to the owner's thread. Each call makes the event loop's
// wait return, so a receive wait looks at once.
struct WinSerialComm::Io {
    // An overlapped operation that knows whose it is.
    struct Operation {
        OVERLAPPED overlapped{};
        WinSerialComm* owner = nullptr;
    };
    static void CALLBACK ReadCompleted(DWORD error, DWORD count, OVERLAPPED* overlapped) {
        reinterpret_cast<Operation*>(overlapped)->owner->ReadDone(error, count);
        WakeEventLoop();
    }
    static void CALLBACK WriteCompleted(DWORD error, DWORD count, OVERLAPPED* overlapped) {
        reinterpret_cast<Operation*>(overlapped)->owner->WriteDone(error, count);
        WakeEventLoop();
    }
    // On a thread of the system's, when WaitCommEvent has ended.
    static void CALLBACK EventSignalled(void* context, BOOLEAN) {
        auto* io = static_cast<Io*>(context);
        QueueUserAPC(&Io::EventCall, io->ownerThread, reinterpret_cast<ULONG_PTR>(io));
    }
    static void CALLBACK EventCall(ULONG_PTR context) {
        reinterpret_cast<Io*>(context)->read.owner->EventDone();
        WakeEventLoop();
    }
    // The wait that ran the call returns, so that a receive wait looks at what came.
    static void WakeEventLoop() {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->interrupt();
    }

    HANDLE ownerThread = nullptr;
    HANDLE eventWait = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB original{};
    Operation read, write;
    OVERLAPPED event{};
    BYTE readBuffer[ReadChunk];
    Bytes writing;
    DWORD eventMask = 0;
    // Line errors ClearCommError reported, kept for the next line event.
    DWORD lineErrors = 0;
    bool reading = false, eventWaiting = false;
    // WaitCommEvent works on this device (a pseudo-terminal under Wine may refuse it).
    bool events = true;
    int emptyEvents = 0;
};

WinSerialComm::WinSerialComm(PortMap ports, QObject* parent)
    : SerialPortBase(std::move(ports), parent), io_(std::make_unique<Io>()) {
    io_->read.owner = io_->write.owner = this;
    io_->event.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &io_->ownerThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
}

WinSerialComm::~WinSerialComm() {
    CloseDevice();
    // Calls queued for this thread run now, while their object is still there.
    while (SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
    CloseHandle(io_->event.hEvent);
    CloseHandle(io_->ownerThread);
}

void WinSerialComm::OpenDevice() {
    const std::string& device = Device();
    HANDLE handle = CreateFileW(DeviceName(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        std::string failure = device + ": " +
                              (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
                                   ? std::string("in use by another program")
                                   : SystemText(code));
        if (const std::string hint = AdapterHint(device, CommPort(), SerialDevices()); !hint.empty()) failure += "\n" + hint;
        throw CommError(failure);
    }
    DCB line{};
    line.DCBlength = sizeof line;
    GetCommState(handle, &line);
    io_->original = line;
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
    // No time-outs: a read ends when the bytes it asks for are there. It asks
    // for what is waiting, or for one byte when nothing is, so a read in
    // flight is an event that comes with the first byte (on Windows and under
    // Wine alike).
    COMMTIMEOUTS timeouts{};
    if (!SetCommState(handle, &line) || !SetCommTimeouts(handle, &timeouts)) {
        const std::string failure = device + ": " + SystemText(GetLastError());
        CloseHandle(handle);
        throw CommError(failure);
    }
    SetupComm(handle, ReadChunk, ReadChunk);
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    io_->handle = handle;
    io_->events = SetCommMask(handle, EV_BREAK | EV_ERR | EV_CTS | EV_DSR | EV_RLSD | EV_RING) != 0;
    io_->emptyEvents = 0;
    breakOn_ = false;
    received_.clear();
    unsent_.clear();
    inFlight_ = 0;
    MarkOpened();
    StartRead();
    StartEventWait();
}

void WinSerialComm::CloseDevice() {
    // Cancelled reads and writes still run their routines, which find the port closed.
    MarkClosed();
    if (io_->handle != INVALID_HANDLE_VALUE) {
        // Every operation in flight ends before its buffer and the handle go.
        CancelIo(io_->handle);
        DWORD done = 0;
        if (io_->eventWaiting) GetOverlappedResult(io_->handle, &io_->event, &done, TRUE);
        // Let the cancelled routines run, here.
        while (io_->reading || inFlight_ != 0)
            if (SleepEx(1000, TRUE) != WAIT_IO_COMPLETION) break;
        // The line as it was found: the next program, or a pseudo-terminal under Wine, expects it.
        SetCommState(io_->handle, &io_->original);
        CloseHandle(io_->handle);
        io_->handle = INVALID_HANDLE_VALUE;
    }
    if (io_->eventWait != nullptr) {
        UnregisterWaitEx(io_->eventWait, INVALID_HANDLE_VALUE);
        io_->eventWait = nullptr;
    }
    io_->reading = io_->eventWaiting = false;
    ResetEvent(io_->event.hEvent);
    inFlight_ = 0;
    unsent_.clear();
    received_.clear();
}

WinSerialComm::Queues WinSerialComm::Status() const {
    COMSTAT status{};
    DWORD errors = 0;
    ClearCommError(io_->handle, &errors, &status);
    io_->lineErrors |= errors;
    return {status.cbInQue, status.cbOutQue};
}

void WinSerialComm::StartRead() {
    if (!PortOpen() || Lost() || io_->reading) return;
    // What is waiting, or one byte: the read ends with the first byte to come.
    const DWORD waiting = Status().in;
    const DWORD want = waiting == 0 ? 1 : std::min<DWORD>(waiting, ReadChunk);
    io_->read.overlapped = OVERLAPPED{};
    if (!ReadFileEx(io_->handle, io_->readBuffer, want, &io_->read.overlapped, &Io::ReadCompleted)) {
        if (Gone(GetLastError())) MarkLost();
        return;
    }
    io_->reading = true;
}

void WinSerialComm::ReadDone(unsigned long error, unsigned long count) {
    io_->reading = false;
    if (!PortOpen()) return;
    if (error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED) {
        if (Gone(error)) MarkLost();
        return;
    }
    received_.insert(received_.end(), io_->readBuffer, io_->readBuffer + count);
    StartRead();
}

int WinSerialComm::InBufferCount() const {
    RequireUsable();
    return static_cast<int>(received_.size());
}

void WinSerialComm::SetInBufferCount(int count) {
    if (count != 0 || !PortOpen() || Lost()) return;
    PurgeComm(io_->handle, PURGE_RXCLEAR);
    received_.clear();
}

int WinSerialComm::OutBufferCount() const {
    RequireOpen();
    if (Lost()) return 0;
    return static_cast<int>(unsent_.size() + inFlight_ + Status().out);
}

void WinSerialComm::SetOutBufferCount(int count) {
    if (count != 0 || !PortOpen() || Lost()) return;
    unsent_.clear();
    PurgeComm(io_->handle, PURGE_TXCLEAR);
}

void WinSerialComm::Output(const Bytes& bytes) {
    if (!AcceptOutput(bytes)) return;
    unsent_.insert(unsent_.end(), bytes.begin(), bytes.end());
    StartWrite();
}

void WinSerialComm::StartWrite() {
    if (unsent_.empty() || Lost() || inFlight_ != 0) return;
    io_->writing.swap(unsent_);
    unsent_.clear();
    io_->write.overlapped = OVERLAPPED{};
    if (!WriteFileEx(io_->handle, io_->writing.data(), static_cast<DWORD>(io_->writing.size()), &io_->write.overlapped,
                     &Io::WriteCompleted)) {
        if (Gone(GetLastError())) MarkLost();
        return;
    }
    inFlight_ = io_->writing.size();
}

void WinSerialComm::WriteDone(unsigned long error, unsigned long) {
    inFlight_ = 0;
    if (!PortOpen()) return;
    if (error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED && Gone(error)) {
        MarkLost();
        return;
    }
    StartWrite();
}

Bytes WinSerialComm::Input() {
    RequireUsable();
    Bytes bytes;
    bytes.swap(received_);
    TellRead(bytes);
    return bytes;
}

void WinSerialComm::SetBreak(bool on) {
    if (!PortOpen() || Lost() || breakOn_ == on) return;
    if (!EscapeCommFunction(io_->handle, on ? SETBREAK : CLRBREAK)) throw CommError(Device() + ": " + SystemText(GetLastError()));
    breakOn_ = on;
}

void WinSerialComm::StartEventWait() {
    if (!PortOpen() || Lost() || !io_->events) return;
    ResetEvent(io_->event.hEvent);
    io_->eventMask = 0;
    if (WaitCommEvent(io_->handle, &io_->eventMask, &io_->event)) {
        // Finished at once: handled at the next wait, so that a device that keeps answering cannot spin.
        io_->eventWaiting = true;
        QueueUserAPC(&Io::EventCall, io_->ownerThread, reinterpret_cast<ULONG_PTR>(io_.get()));
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING &&
        RegisterWaitForSingleObject(&io_->eventWait, io_->event.hEvent, &Io::EventSignalled, io_.get(), INFINITE,
                                    WT_EXECUTEONLYONCE)) {
        io_->eventWaiting = true;
        return;
    }
    // The device cannot report line events (a pseudo-terminal under Wine): left alone without a word.
    io_->events = false;
}

void WinSerialComm::EventDone() {
    if (io_->eventWait != nullptr) {
        UnregisterWait(io_->eventWait);
        io_->eventWait = nullptr;
    }
    if (!io_->eventWaiting || !PortOpen()) return;
    io_->eventWaiting = false;
    DWORD unused = 0;
    if (!GetOverlappedResult(io_->handle, &io_->event, &unused, FALSE)) {
        io_->events = false;
        return;
    }
    const DWORD mask = io_->eventMask;
    Status();
    const DWORD errors = io_->lineErrors;
    io_->lineErrors = 0;
    bool reported = false;
    auto report = [&](bool happened, std::int16_t code) {
        if (!happened) return;
        Report(code);
        reported = true;
    };
    report((errors & CE_BREAK) != 0 || (mask & EV_BREAK) != 0, CommEventCode::Break);
    report((errors & CE_FRAME) != 0, CommEventCode::Frame);
    report((errors & CE_OVERRUN) != 0, CommEventCode::Overrun);
    report((errors & CE_RXOVER) != 0, CommEventCode::RxOver);
    report((errors & CE_RXPARITY) != 0, CommEventCode::RxParity);
    report((mask & EV_CTS) != 0, CommEventCode::CtsChange);
    report((mask & EV_DSR) != 0, CommEventCode::DsrChange);
    report((mask & EV_RLSD) != 0, CommEventCode::CdChange);
    report((mask & EV_RING) != 0, CommEventCode::Ring);
    // A device that keeps ending the wait with nothing to say cannot report line events.
    io_->emptyEvents = reported ? 0 : io_->emptyEvents + 1;
    if (io_->emptyEvents >= 3) {
        io_->events = false;
        return;
    }
    StartEventWait();
}

std::unique_ptr<SerialComm> MakeSerialComm(PortMap ports) { return std::make_unique<WinSerialComm>(std::move(ports)); }

}  // namespace kelvra
