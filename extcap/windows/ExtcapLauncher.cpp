// SPDX-License-Identifier: MIT
// kelvra-m2bus.exe: the M2BUS capture source as Wireshark finds it in an extcap folder.
// It runs the installed kelvra-netmon.com with the same arguments, standard handles
// and exit status. Wireshark ends a capture with TerminateProcess, which a child
// would outlive, keeping the port and the capture pipe: the child runs in a job
// that ends it when this process ends, however it ends.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t Program[] = L"kelvra-netmon.com";
constexpr wchar_t InstallKey[] = L"Software\\Kelvra\\kelvra-netmon";
constexpr DWORD Failed = 2;

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring OwnFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Beside this file (a folder unpacked from the zip), else where the installer put the program.
std::wstring FindProgram() {
    if (const std::wstring beside = OwnFolder() + Program; IsFile(beside)) return beside;
    wchar_t folder[32768];
    DWORD bytes = sizeof folder - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, InstallKey, L"InstallDir", RRF_RT_REG_SZ, nullptr,
                     folder, &bytes) != ERROR_SUCCESS)
        return {};
    std::wstring installed = folder;
    if (!installed.empty() && installed.back() != L'\\') installed += L'\\';
    installed += Program;
    return IsFile(installed) ? installed : std::wstring{};
}

// This process's command line without its program name, as the system split it.
const wchar_t* Arguments() {
    const wchar_t* at = GetCommandLineW();
    if (*at == L'"') {
        ++at;
        while (*at && *at != L'"') ++at;
        if (*at) ++at;
    } else {
        while (*at && *at != L' ' && *at != L'\t') ++at;
    }
    return at;
}

void Say(const wchar_t* text) {
    DWORD written = 0;
    const std::string utf8 = [&] {
        const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), n, nullptr, nullptr);
        return bytes;
    }();
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

int wmain() {
    const std::wstring program = FindProgram();
    if (program.empty()) {
        Say(L"kelvra-m2bus: kelvra-netmon.com is not installed (install Kelvra Net Monitor Tool again)\n");
        return Failed;
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        Say(L"kelvra-m2bus: no job object for the capture\n");
        return Failed;
    }
    std::wstring commandLine = L"\"" + program + L"\"" + Arguments();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // Wireshark starts capture sources without a console: the child gets no window of its own either.
    const DWORD flags = CREATE_SUSPENDED | (GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        &child)) {
        Say((L"kelvra-m2bus: " + program + L" cannot be started\n").c_str());
        return Failed;
    }
    // In the job before it runs a single instruction: nothing it starts can outlive this process.
    if (!AssignProcessToJobObject(job, child.hProcess)) {
        TerminateProcess(child.hProcess, Failed);
        Say(L"kelvra-m2bus: the capture cannot be tied to this process\n");
        return Failed;
    }
    ResumeThread(child.hThread);
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = Failed;
    GetExitCodeProcess(child.hProcess, &status);
    return static_cast<int>(status);
}
