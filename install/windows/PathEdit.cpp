// SPDX-License-Identifier: MIT
// kelvra-path: the installer's PATH edit, run by the installer and its uninstaller
// from their temporary folder (never installed):
//   kelvra-path add FOLDER     FOLDER at the end of the system PATH, unless it is on it
//   kelvra-path remove FOLDER  every entry that is FOLDER taken off the system PATH
// Status 0: changed; 3: nothing to change; 1: failed (the reason on standard error).
// The value is read and written whole, at any length, with its type (REG_EXPAND_SZ
// as a rule) and every %...% reference as they are; running programs are told.
#include <windows.h>

#include <cstdio>
#include <string>

#include "install/PathEntries.h"
#include "platform/System.h"
#include "platform/windows/Wide.h"

namespace {

constexpr wchar_t EnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr int Changed = 0, Failed = 1, Unchanged = 3;

struct PathValue {
    std::wstring text;
    DWORD type = REG_EXPAND_SZ;
    bool terminated = true;  // whether the stored bytes end with a NUL, kept as found
};

std::wstring SystemMessage(LONG code) {
    return kelvra::System::Wide(kelvra::System::ErrorText(static_cast<unsigned long>(code)));
}

int Fail(const wchar_t* what, LONG code) {
    std::fwprintf(stderr, L"kelvra-path: %ls: %ls\n", what, SystemMessage(code).c_str());
    return Failed;
}

// The value as stored; a PATH that is not there reads as empty, to be made REG_EXPAND_SZ.
LONG Read(HKEY key, PathValue& value) {
    for (;;) {
        DWORD type = 0, bytes = 0;
        LONG status = RegQueryValueExW(key, L"Path", nullptr, &type, nullptr, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
        std::wstring text((bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
        status = RegQueryValueExW(key, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
        if (status == ERROR_MORE_DATA) continue;  // it grew between the two reads
        if (status != ERROR_SUCCESS) return status;
        text.resize(bytes / sizeof(wchar_t));
        value.terminated = !text.empty() && text.back() == L'\0';
        if (value.terminated) text.pop_back();
        value.text = text;
        value.type = type;
        return ERROR_SUCCESS;
    }
}

LONG Write(HKEY key, const PathValue& value) {
    const std::size_t bytes = (value.text.size() + (value.terminated ? 1 : 0)) * sizeof(wchar_t);
    return RegSetValueExW(key, L"Path", 0, value.type, reinterpret_cast<const BYTE*>(value.text.c_str()),
                          static_cast<DWORD>(bytes));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring action = argc == 3 ? argv[1] : L"";
    if (action != L"add" && action != L"remove") {
        std::fwprintf(stderr, L"usage: kelvra-path add|remove FOLDER\n");
        return Failed;
    }
    const std::wstring folder = argv[2];
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnvironmentKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return Fail(L"the system environment cannot be opened", status);
    PathValue value;
    status = Read(key, value);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return Fail(L"PATH cannot be read", status);
    }
    const std::wstring edited = action == L"add" ? kelvra::PathEntries::Added(value.text, folder)
                                                 : kelvra::PathEntries::Removed(value.text, folder);
    if (edited == value.text) {
        RegCloseKey(key);
        return Unchanged;
    }
    value.text = edited;
    status = Write(key, value);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return Fail(L"PATH cannot be written", status);
    // Explorer and other running programs read the environment again; one that hangs is not waited for.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    return Changed;
}
