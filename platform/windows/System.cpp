// SPDX-License-Identifier: MIT
#include "platform/System.h"

#include <io.h>
#include <windows.h>

#include "platform/windows/Wide.h"

namespace kelvra::System {

std::wstring Wide(std::string_view utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(std::wstring_view wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string ErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text != nullptr ? text : L"error " + std::to_wstring(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return Utf8(message);
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

std::tm LocalTime(std::time_t seconds, long& offsetSeconds) {
    std::tm local{};
    localtime_s(&local, &seconds);
    // The local time read as if it were UTC, less the real instant.
    std::tm asUtc = local;
    offsetSeconds = static_cast<long>(::_mkgmtime(&asUtc) - seconds);
    return local;
}

bool LocalDeviceName(const std::string& device) { return !device.empty(); }

std::string DefaultDevice(int port) { return "COM" + std::to_string(port); }

bool DeviceNodePresent(const std::string&) { return false; }

bool PrepareStandardStreams() { return false; }

// A console shows wide text whatever its code page; UTF-8 goes to files and pipes as it is.
bool WriteConsoleLine(std::FILE* to, std::string_view line) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    std::fflush(to);
    const std::wstring wide = Wide(std::string(line) + "\r\n");
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return true;
}

bool StandardOutputReaderGone() { return false; }

}  // namespace kelvra::System
