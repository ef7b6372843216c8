#include <QApplication>

#include <memory>

#include "app/GxxMain.h"
#include "app/QtRuntime.h"
#include "app/TerminationSignals.h"
#include "serial/QtSerialComm.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelvra-netmon"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(kelvra::App::Major)
                                            .arg(kelvra::App::Minor)
                                            .arg(kelvra::App::Revision));

    kelvra::QtRuntime runtime;
    kelvra::GxxMain window(std::make_unique<kelvra::QtSerialComm>(), runtime);
    QApplication::setWindowIcon(window.windowIcon());
    if (!window.Form_Load()) return 1;
    new kelvra::TerminationSignals(&window);
    window.show();
    return QApplication::exec();
}
