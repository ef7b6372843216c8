// SPDX-License-Identifier: MIT
#pragma once

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <memory>

#include "app/Utility.h"
#include "commands/NetMonitor.h"
#include "link/CommGlobal.h"
#include "link/Runtime.h"
#include "record/LogFile.h"
#include "serial/PortMap.h"

class QAction;
class QLabel;
class QMenu;

namespace kelvra {

// What the command line and the settings file add to the window; the
// defaults leave it exactly as it is without them.
struct WindowSetup {
    // The port chosen at start-up.
    int startPort = 1;
    // Which device each port is, shown as the CommPort items' tooltips.
    PortMap ports;
    // Where log lines are recorded besides the log, if anywhere.
    Recorder* recorder = nullptr;
};

// The tool's one window: the message log, the information label and the
// File, VidEvodudi and CommPort menus. It owns the serial component and the
// link state for the life of the program.
class GxxMain : public QMainWindow, private LinkView {
    Q_OBJECT
public:
    GxxMain(std::unique_ptr<SerialComm> comm, Runtime& runtime, WindowSetup setup = {}, QWidget* parent = nullptr);
    ~GxxMain() override;

    // Start-up. False when the link could not be initialised; the reason has
    // been shown and the program should end with a failure status.
    bool Form_Load();

    // Shut-down: ends the program unless the user aborts while unsent bytes
    // keep the port busy, in which case `cancel` is set to true (-1).
    void Form_Unload(std::int16_t& cancel);
    void MFileExit_Click();

    void MPNetOff_Click();
    void MPNetReset_Click();
    void MPNetOnOperator_Click();
    void MPNetOnRD_Click();

    void MSCom1_Click();
    void MSCom2_Click();
    void MSCom3_Click();
    void MSCom4_Click();

    void MSComm1_OnComm();

    LinkState& Link() { return link_; }
    SerialComm& Comm() { return *MSComm1; }
    const LogBox& Log() const { return *Rcv; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void LogLine(const std::string& message) override;
    void SetPortMenuEnabled(bool enabled) override;

    void BuildControls();
    void BuildMenus();
    void CentreOnScreen();
    void ChoosePort(std::int16_t port);
    void RunCommand(UserCommand command);
    // Ends the program; from then on no handler of the window runs.
    void EndProgram();
    // Runs a handler; an error that escapes it is shown in a critical message
    // box and the program goes on. False when that happened.
    template <class Handler>
    bool Guarded(Handler&& handler);

    std::unique_ptr<SerialComm> MSComm1;
    Runtime& runtime_;
    WindowSetup setup_;
    // The log, and the record besides it.
    RecordedView view_;
    NetMonitor monitor_;
    LinkState& link_ = monitor_.link;
    CmdSets& cmds_ = monitor_.cmds;

    LogBox* Rcv = nullptr;
    QLabel* InfoLabel = nullptr;
    QMenu* MFile = nullptr;
    QMenu* MPNet = nullptr;
    QMenu* MPort = nullptr;
    QAction* MFileExit = nullptr;
    std::array<QAction*, PortMap::Ports> MSCom{};

    // The window's scratch value: the last message-box answer or event-processing result.
    std::int16_t scratch_ = 0;
    // A VidEvodudi command is running; another choice meanwhile only beeps.
    bool commandRunning_ = false;
    // The shut-down has ended the program.
    bool ending_ = false;
    // Centred again once shown, when the window manager has framed it.
    bool centredWhenShown_ = false;
};

}  // namespace kelvra
