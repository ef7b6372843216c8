// SPDX-License-Identifier: MIT
#pragma once

namespace kelvra {

// Exit statuses of the program without a window besides 0 (success) and
// 128 + a termination signal's number.
namespace RunStatus {
constexpr int Failed = 1;
constexpr int Usage = 2;
// The command ran, but its record is incomplete: lines of the log file,
// records of the capture or lines of standard output could not be written.
constexpr int RecordIncomplete = 3;
}  // namespace RunStatus

}  // namespace kelvra
