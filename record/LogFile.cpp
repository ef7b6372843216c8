// SPDX-License-Identifier: MIT
#include "record/LogFile.h"

#include <cstdio>
#include <ctime>

#include "platform/System.h"

namespace kelvra {

bool LogFile::Append(std::string_view text) {
    std::string line = LocalTimestamp(std::chrono::system_clock::now());
    line += ' ';
    line += text;
    line += '\n';
    return file_.Write(line.data(), line.size());
}

std::string LocalTimestamp(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    long offset = 0;
    const std::tm local = System::LocalTime(seconds, offset);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%c%02ld:%02ld", date, static_cast<int>(millis < 0 ? millis + 1000 : millis),
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string OneLine(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            if (i + 1 < text.size()) line += "; ";
            continue;
        }
        line += text[i];
    }
    return line;
}

void Recorder::SetPort(int port, std::string device) { where_ = "Com" + std::to_string(port) + " " + device; }

void Recorder::Line(std::string_view text) { file_.Append(where_ + " " + OneLine(text)); }

void Recorder::Box(std::string_view text) { file_.Append(where_ + " box: " + OneLine(text)); }

}  // namespace kelvra
