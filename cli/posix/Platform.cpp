// SPDX-License-Identifier: MIT
#include "cli/Platform.h"

#include <QFileInfo>
#include <QtGlobal>

#include "runtime/Console.h"

namespace kelvra {

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void StartFailure(const std::string& text) { Console::Problem(text); }

QString ProgramFolder() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath(); }

void UseParentConsole() {}

bool DisplayAvailable() {
    auto set = [](const char* name) { return !qEnvironmentVariableIsEmpty(name); };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace kelvra
