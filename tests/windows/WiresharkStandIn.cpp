// SPDX-License-Identifier: MIT
// Wireshark's part in a live capture on Windows, for the tests under Wine: makes the
// capture pipe, starts the capture source as Wireshark does, copies what comes through
// the pipe to a file as it comes, ends the source with TerminateProcess after a given
// time and then waits for the pipe to close: the source's program must not outlive it.
// With "close", it closes its end of the pipe instead, as a Wireshark that crashed, and
// waits for the source to end by itself.
//   wireshark-stand-in.exe SOURCE INTERFACE DEVICE OUTPUT SECONDS [close]
// Status 0: the pipe closed (the source ended) within 5 s; 1 otherwise. Each step is noted on
// standard error as it is reached, so a stand-in that died shows how far it got.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
void Step(const char* what) {
    std::fprintf(stderr, "stand-in: %s at %llu ms\n", what, static_cast<unsigned long long>(GetTickCount64()));
}

int Fail(const char* what) {
    std::printf("stand-in: %s (error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    return 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6 && argc != 7) return Fail("usage: SOURCE INTERFACE DEVICE OUTPUT SECONDS [close]");
    const bool closing = argc == 7 && std::wstring(argv[6]) == L"close";
    const std::wstring pipeName = L"\\\\.\\pipe\\wireshark_extcap_" + std::wstring(argv[2]) + L"_" +
                                  std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return Fail("no pipe");
    Step("pipe made");
    HANDLE output = CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return Fail("no output file");

    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\" --capture --extcap-interface " + argv[2] +
                               L" --fifo " + pipeName + L" --device " + argv[3];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION source{};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &source))
        return Fail("the capture source cannot be started");
    Step("source started");

    OVERLAPPED io{};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ConnectNamedPipe(pipe, &io) && GetLastError() == ERROR_IO_PENDING) {
        HANDLE either[] = {io.hEvent, source.hProcess};
        if (WaitForMultipleObjects(2, either, FALSE, 20000) != WAIT_OBJECT_0) return Fail("the source never opened the pipe");
    }
    Step("pipe connected");
    const ULONGLONG started = GetTickCount64();
    const ULONGLONG terminateAt = started + static_cast<ULONGLONG>(_wtoi(argv[5])) * 1000;
    ULONGLONG terminated = 0;
    unsigned long long total = 0;
    char buffer[4096];
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (!terminated && now >= terminateAt) {
            terminated = now;
            if (closing) {
                CloseHandle(pipe);
                if (WaitForSingleObject(source.hProcess, 5000) != WAIT_OBJECT_0)
                    return Fail("the source kept running 5 s after its reader went away");
                std::printf("stand-in: %llu bytes; the source ended %llu ms after its reader went away\n", total,
                            GetTickCount64() - terminated);
                return 0;
            }
            Step("terminating the source");
            TerminateProcess(source.hProcess, 1);
        }
        if (terminated && now - terminated > 5000) return Fail("the pipe stayed open 5 s after TerminateProcess");
        ResetEvent(io.hEvent);
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, nullptr, &io)) {
            const DWORD error = GetLastError();
            if (error == ERROR_BROKEN_PIPE) break;
            if (error != ERROR_IO_PENDING) return Fail("reading the pipe");
            if (WaitForSingleObject(io.hEvent, 100) == WAIT_TIMEOUT) {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &io, &got, TRUE);
                if (got == 0) continue;
            }
        }
        if (!GetOverlappedResult(pipe, &io, &got, TRUE)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            if (GetLastError() == ERROR_OPERATION_ABORTED && got == 0) continue;
            return Fail("reading the pipe");
        }
        DWORD written = 0;
        WriteFile(output, buffer, got, &written, nullptr);
        total += got;
    }
    if (!terminated) {
        DWORD status = 0;
        GetExitCodeProcess(source.hProcess, &status);
        std::printf("stand-in: the source ended by itself with status %lu after %llu bytes\n", status, total);
        return 1;
    }
    std::printf("stand-in: %llu bytes; the pipe closed %llu ms after TerminateProcess\n", total,
                GetTickCount64() - terminated);
    return 0;
}
