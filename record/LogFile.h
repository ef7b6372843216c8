// SPDX-License-Identifier: MIT
#pragma once
// The lasting record of a run: every log line and message box, time-stamped,
// appended to a file.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "link/Runtime.h"
#include "record/AppendFile.h"

namespace kelvra {

// A file opened for appending, never truncated. Each line goes out in one
// write as it happens, so a crash loses nothing already written, and lines
// of several processes sharing the file never interleave.
class LogFile {
public:
    // Throws std::runtime_error("<path>: <reason>") when the file cannot be opened.
    explicit LogFile(std::string path) : file_(std::move(path), "the log file", AppendFile::Pieces::Lines) {}

    // Appends `text`, time-stamped, as one line. False when the line could not be written.
    bool Append(std::string_view text);

    // Hears "the log file <path> cannot be written: <reason>" the first time a
    // line cannot be written, and anything else worth knowing once (another
    // program kept the file locked).
    void OnReport(std::function<void(const std::string&)> report) { file_.OnReport(std::move(report)); }
    // Says when to stop waiting for a lock: a termination signal arrived.
    void SetInterrupted(std::function<bool()> interrupted) { file_.SetInterrupted(std::move(interrupted)); }
    // A line has been lost: the record is incomplete.
    bool Incomplete() const { return file_.Incomplete(); }

private:
    AppendFile file_;
};

// Local time in ISO 8601 with milliseconds and the UTC offset: 2026-12-07T11:00:56.123+01:00.
std::string LocalTimestamp(std::chrono::system_clock::time_point at);

// A text on one line: each line break becomes "; ".
std::string OneLine(std::string_view text);

// Writes a run's log lines and message boxes to a log file, each with the
// port and device in use: "<time> Com1 /dev/ttyUSB0 COM port open.",
// "<time> Com1 /dev/ttyUSB0 box: COM port error !".
class Recorder {
public:
    explicit Recorder(LogFile& file) : file_(file) {}

    void SetPort(int port, std::string device);
    void Line(std::string_view text);
    void Box(std::string_view text);
    LogFile& File() { return file_; }

private:
    LogFile& file_;
    std::string where_ = "Com1";
};

// Run-time services that record every message box, when there is a
// recorder, before the services they wrap show it.
class RecordedRuntime : public Runtime {
public:
    RecordedRuntime(Runtime& shown, Recorder* recorder) : shown_(shown), recorder_(recorder) {}

    int MsgBox(const std::string& prompt, MsgButtons buttons, MsgIcon icon,
               const std::string& caption = {}) override {
        if (recorder_ != nullptr) recorder_->Box(prompt);
        return shown_.MsgBox(prompt, buttons, icon, caption);
    }
    void Beep() override { shown_.Beep(); }
    void SetMousePointer(MousePointer pointer) override { shown_.SetMousePointer(pointer); }
    int DoEvents(double until) override { return shown_.DoEvents(until); }
    double Timer() override { return shown_.Timer(); }
    void End() override { shown_.End(); }

private:
    Runtime& shown_;
    Recorder* recorder_;
};

// A view that records every log line, when there is a recorder, besides
// showing it in the view it wraps.
class RecordedView : public LinkView {
public:
    RecordedView(LinkView& shown, Recorder* recorder) : shown_(shown), recorder_(recorder) {}

    void LogLine(const std::string& message) override {
        shown_.LogLine(message);
        if (recorder_ != nullptr) recorder_->Line(message);
    }
    void SetPortMenuEnabled(bool enabled) override { shown_.SetPortMenuEnabled(enabled); }

private:
    LinkView& shown_;
    Recorder* recorder_;
};

}  // namespace kelvra
