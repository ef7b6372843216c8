// SPDX-License-Identifier: MIT
#pragma once
// A pseudo-terminal pair standing in for a serial cable: the tool opens the
// device at Path(), the other end reads and writes MasterFd().

#include <termios.h>

#include <string>

namespace kelvra {

class Pty {
public:
    // Opens a pair in raw mode. Throws std::runtime_error on failure.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int MasterFd() const { return master_; }
    // The device side, held open by this end.
    int SlaveFd() const { return slave_; }
    const std::string& Path() const { return path_; }

    // Gives the device back the line settings it was made with (raw, no
    // parity), whatever a client set.
    void RestoreSettings();

    // Closes this end; the device side then reads end-of-line errors, as when
    // a cable is pulled.
    void CloseMaster();

private:
    int master_ = -1;
    // Held open so that the far end survives the tool closing and reopening the device.
    int slave_ = -1;
    std::string path_;
    termios made_{};
};

}  // namespace kelvra
