// Prints one line per figure: name value unit. Run offscreen; see README.

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <string>

#include "app/Utility.h"

namespace {

void Figure(const char* name, double value, const char* unit) { std::printf("%s %.4f %s\n", name, value, unit); }

// Seconds to log `lines` lines into a visible log box.
double LogAppendSeconds(int lines) {
    kelvra::LogBox log;
    log.resize(209, 81);
    log.show();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i) log.LogLine("Attention ! Received " + std::to_string(i) + " command block.", "\r\n");
    QCoreApplication::processEvents();
    return static_cast<double>(clock.nsecsElapsed()) * 1e-9;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    Figure("log_append_100k_s", LogAppendSeconds(100000), "s");
    Figure("log_append_200k_s", LogAppendSeconds(200000), "s");
    return 0;
}
