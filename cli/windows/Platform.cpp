// SPDX-License-Identifier: MIT
#include "cli/Platform.h"

#include <windows.h>
#include <shellapi.h>

#include <QFileInfo>

#include <cstdio>

#include "runtime/Console.h"

namespace kelvra {

QString ProgramFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return QFileInfo(QString::fromWCharArray(path)).absolutePath();
}

void UseParentConsole() {
    // Started from Explorer there is no console and none is wanted; from a
    // console, print there, unless the output goes to a file or a pipe.
    const bool redirected = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN;
    if (redirected || !AttachConsole(ATTACH_PARENT_PROCESS)) return;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}

std::vector<std::string> Arguments(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(QString::fromWCharArray(wide[i]).toStdString());
    LocalFree(wide);
    return arguments;
}

void StartFailure(const std::string& text) {
    const QString shown = QString::fromStdString(text).replace(QLatin1Char('/'), QLatin1Char('\\'));
    Console::Problem(shown.toStdString());
    // Nobody sees standard error without a console and without a redirection.
    if (GetConsoleWindow() != nullptr || GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_UNKNOWN) return;
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(shown.utf16()), L"Kelvra Net Monitor Tool",
                MB_OK | MB_ICONERROR);
}

// Windows always has a desktop to show the window on.
bool DisplayAvailable() { return true; }

}  // namespace kelvra
