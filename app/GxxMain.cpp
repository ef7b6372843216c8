// SPDX-License-Identifier: MIT
#include "app/GxxMain.h"

#include <QAction>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>

#include <cmath>
#include <exception>

namespace kelvra {

namespace {

// Window geometry in twips, 1440 to the inch.
constexpr int ClientWidth = 4980, ClientHeight = 1305;
constexpr QRect RcvTwips(120, 0, 3135, 1215);
constexpr QRect InfoLabelTwips(3360, 0, 1455, 1095);
constexpr QRgb Background = 0xC0C0C0;
constexpr const char* Caption = "      VidEvodudi     ";
// How often the shut-down looks at the transmit buffer while it drains.
constexpr double DrainPollSeconds = 0.05;

// Runs a cosmetic step whose failure the user need not hear of.
template <class Step>
void IgnoringErrors(Step&& step) {
    try {
        step();
    } catch (const std::exception&) {
    }
}

// Marks a command as running while it lives, also when an error abandons the command.
class Running {
public:
    explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
    ~Running() { flag_ = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag_;
};

}  // namespace

GxxMain::GxxMain(std::unique_ptr<SerialComm> comm, Runtime& runtime, WindowSetup setup, QWidget* parent)
    : QMainWindow(parent),
      MSComm1(std::move(comm)),
      runtime_(runtime),
      setup_(std::move(setup)),
      view_(*this, setup_.recorder),
      monitor_(*MSComm1, runtime_, view_) {
    setObjectName(QStringLiteral("GxxMain"));
    setWindowTitle(QString::fromLatin1(Caption));
    // A fixed-size window: nothing to maximise.
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kelvra-netmon-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    BuildControls();
    BuildMenus();
    MSComm1->SetOnComm([this] { Guarded([this] { MSComm1_OnComm(); }); });
}

GxxMain::~GxxMain() { MSComm1->SetOnComm({}); }

void GxxMain::BuildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    const double dpi = logicalDpiX();
    auto px = [dpi](int twips) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); };
    auto pxRect = [&px](const QRect& r) { return QRect(px(r.x()), px(r.y()), px(r.width()), px(r.height())); };
    client->setFixedSize(px(ClientWidth), px(ClientHeight));
    QPalette palette = client->palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(Background));
    client->setPalette(palette);
    client->setAutoFillBackground(true);

    Rcv = new LogBox(client);
    Rcv->setObjectName(QStringLiteral("Rcv"));
    Rcv->setGeometry(pxRect(RcvTwips));

    InfoLabel = new QLabel(client);
    InfoLabel->setObjectName(QStringLiteral("InfoLabel"));
    InfoLabel->setGeometry(pxRect(InfoLabelTwips));
    InfoLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    InfoLabel->setWordWrap(true);

    setCentralWidget(client);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    Rcv->setFocus();
}

void GxxMain::BuildMenus() {
    auto item = [this](QMenu* menu, const char* name, const char* caption, auto handler) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
        return action;
    };
    auto menu = [this](const char* name, const char* caption) {
        QMenu* m = menuBar()->addMenu(QString::fromLatin1(caption));
        m->setObjectName(QString::fromLatin1(name));
        return m;
    };

    MFile = menu("MFile", "&File");
    MFileExit = item(MFile, "MFileExit", "E&xit", &GxxMain::MFileExit_Click);

    MPNet = menu("MPNet", "&VidEvodudi");
    for (const UserCommandEntry& entry : UserCommands()) {
        QAction* action = MPNet->addAction(QString::fromLatin1(entry.caption));
        action->setObjectName(QString::fromLatin1(entry.itemName));
        const UserCommand command = entry.command;
        connect(action, &QAction::triggered, this, [this, command] { Guarded([this, command] { RunCommand(command); }); });
    }

    MPort = menu("MPort", "&CommPort");
    MSCom[0] = item(MPort, "MSCom1", "Com1", &GxxMain::MSCom1_Click);
    MSCom[1] = item(MPort, "MSCom2", "Com2", &GxxMain::MSCom2_Click);
    MSCom[2] = item(MPort, "MSCom3", "Com3", &GxxMain::MSCom3_Click);
    MSCom[3] = item(MPort, "MSCom4", "Com4", &GxxMain::MSCom4_Click);
    for (std::size_t i = 0; i < MSCom.size(); ++i) {
        MSCom[i]->setCheckable(true);
        const int port = static_cast<int>(i) + 1;
        MSCom[i]->setToolTip(QString::fromStdString(DescribeMapping(setup_.ports.Resolve(port), port)));
    }
    MPort->setToolTipsVisible(true);
}

template <class Handler>
bool GxxMain::Guarded(Handler&& handler) {
    // Once the program is ending no handler of the window runs.
    if (ending_) return false;
    try {
        handler();
        return true;
    } catch (const ProgramEnding&) {
        ending_ = true;
        return false;
    } catch (const std::exception& error) {
        runtime_.MsgBox(error.what(), MsgButtons::Ok, MsgIcon::Critical);
        return false;
    }
}

bool GxxMain::Form_Load() {
    const bool linked = Guarded([this] {
        monitor_.InitLink();
        const std::string version = std::string("v. ") + App::Version;
        InfoLabel->setText(ShownText(QString::fromStdString(App::Title + link_.CrLf + version)));
    });
    if (!linked) return false;
    // The rest of start-up is cosmetic: a failing step is skipped.
    IgnoringErrors([this] {
        // The component starts with Com1; another start port is chosen as from the menu.
        if (setup_.startPort == 1) {
            MSCom[0]->setChecked(true);
            if (setup_.recorder != nullptr) setup_.recorder->SetPort(1, setup_.ports.Device(1));
        } else {
            ChoosePort(static_cast<std::int16_t>(setup_.startPort));
        }
    });
    IgnoringErrors([this] { CentreOnScreen(); });
    return true;
}

void GxxMain::CentreOnScreen() {
    const QScreen* shown = screen();
    if (shown == nullptr) return;
    const QRect area = shown->geometry();
    const QSize outer = frameGeometry().size();
    move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
}

void GxxMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (centredWhenShown_) return;
    centredWhenShown_ = true;
    // The frame's size is known only after the window manager has taken the window.
    QTimer::singleShot(0, this, [this] { IgnoringErrors([this] { CentreOnScreen(); }); });
}

void GxxMain::LogLine(const std::string& message) { Rcv->LogLine(message, link_.CrLf); }

void GxxMain::SetPortMenuEnabled(bool enabled) { MPort->menuAction()->setEnabled(enabled); }

void GxxMain::RunCommand(UserCommand command) {
    if (commandRunning_) {
        runtime_.Beep();
        return;
    }
    const Running running(commandRunning_);
    monitor_.RunUserCommand(command);
}

void GxxMain::MPNetOff_Click() { RunCommand(UserCommand::Off); }
void GxxMain::MPNetReset_Click() { RunCommand(UserCommand::ResetTimers); }
void GxxMain::MPNetOnOperator_Click() { RunCommand(UserCommand::OperatorOn); }
void GxxMain::MPNetOnRD_Click() { RunCommand(UserCommand::RDOn); }

void GxxMain::ChoosePort(std::int16_t port) {
    MSComm1->SetCommPort(port);
    for (std::size_t i = 0; i < MSCom.size(); ++i) MSCom[i]->setChecked(static_cast<int>(i) + 1 == port);
    if (setup_.recorder != nullptr) setup_.recorder->SetPort(port, setup_.ports.Device(port));
}

void GxxMain::MSCom1_Click() { ChoosePort(1); }
void GxxMain::MSCom2_Click() { ChoosePort(2); }
void GxxMain::MSCom3_Click() { ChoosePort(3); }
void GxxMain::MSCom4_Click() { ChoosePort(4); }

void GxxMain::MSComm1_OnComm() {
    // The window keeps the answer of a line-error box.
    if (const int answer = monitor_.OnComm(); answer != 0) scratch_ = static_cast<std::int16_t>(answer);
}

void GxxMain::Form_Unload(std::int16_t& cancel) {
    if (!MSComm1->PortOpen()) {
        EndProgram();
        return;
    }
    // A shut-down in the middle of a command leaves the phone's mode alone;
    // while the normal-mode command runs, a VidEvodudi choice only beeps.
    if (link_.LocalMode != 0 && !commandRunning_) {
        const Running running(commandRunning_);
        cmds_.InitNormalMode();
    }
    // Whole seconds, halves to the even neighbour.
    double deadline = std::nearbyint(runtime_.Timer() + 10.0);
    // A port closed meanwhile (Cancel on a line-error box, a vanished device) has nothing left to send.
    while (MSComm1->PortOpen() && MSComm1->OutBufferCount() != 0) {
        scratch_ = static_cast<std::int16_t>(runtime_.DoEvents(runtime_.Timer() + DrainPollSeconds));
        if (runtime_.Timer() <= deadline) continue;
        const int answer = runtime_.MsgBox("Data cannot be sent", MsgButtons::AbortRetryIgnore, MsgIcon::Question);
        if (answer == MsgAnswer::Abort) {
            cancel = -1;
            return;
        }
        if (answer == MsgAnswer::Ignore) break;
        deadline = std::nearbyint(runtime_.Timer() + 10.0);
    }
    if (MSComm1->PortOpen()) MSComm1->SetPortOpen(false);
    EndProgram();
}

void GxxMain::EndProgram() {
    ending_ = true;
    runtime_.End();
}

void GxxMain::MFileExit_Click() { Form_Unload(scratch_); }

void GxxMain::closeEvent(QCloseEvent* event) {
    std::int16_t cancel = 0;
    const bool finished = Guarded([&] { Form_Unload(cancel); });
    if (ending_ || (finished && cancel == 0))
        event->accept();
    else
        event->ignore();
}

}  // namespace kelvra
