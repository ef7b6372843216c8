// SPDX-License-Identifier: MIT
#include "cli/Platform.h"

#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#endif

namespace kelvra {

#ifdef _WIN32

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

#else

QString ProgramFolder() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath(); }

void UseParentConsole() {}

#endif

}  // namespace kelvra
