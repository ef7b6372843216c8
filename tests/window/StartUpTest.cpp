// SPDX-License-Identifier: MIT
#include <QLabel>
#include <QMenuBar>

#include <unistd.h>

#include <fstream>

#include "tests/window/WindowTest.h"

namespace kelvra::test {
namespace {

using StartUpTest = WindowTest;

TEST_F(StartUpTest, WindowHasItsCaptionSizeAndControls) {
    ASSERT_EQ(window->logicalDpiX(), 96) << "the geometry below assumes 15 twips to a pixel";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("      VidEvodudi     "));
    EXPECT_EQ(window->centralWidget()->size(), QSize(332, 87)) << "4980 x 1305 twips";
    EXPECT_EQ(window->centralWidget()->palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_EQ(window->findChild<QWidget*>("Rcv")->geometry(), QRect(8, 0, 209, 81));
    EXPECT_EQ(window->findChild<QWidget*>("InfoLabel")->geometry(), QRect(224, 0, 97, 73));
    const QList<QSize> iconSizes = window->windowIcon().availableSizes();
    for (int size : {16, 24, 32, 48, 64, 128, 256}) EXPECT_TRUE(iconSizes.contains(QSize(size, size))) << size;
}

TEST_F(StartUpTest, MenusHoldTheirItemsInOrder) {
    QStringList titles;
    for (QAction* menu : window->menuBar()->actions()) titles << menu->text();
    EXPECT_EQ(titles, (QStringList{"&File", "&VidEvodudi", "&CommPort"}));

    const struct {
        const char* menu;
        QStringList names;
        QStringList captions;
    } menus[] = {
        {"MFile", {"MFileExit"}, {"E&xit"}},
        {"MPNet",
         {"MPNetOff", "MPNetReset", "MPNetOnOperator", "MPNetOnRD"},
         {"O&ff", "&Reset timers", "&Operatof field test On", "R&D test On"}},
        {"MPort", {"MSCom1", "MSCom2", "MSCom3", "MSCom4"}, {"Com1", "Com2", "Com3", "Com4"}},
    };
    for (const auto& m : menus) {
        QStringList names, captions;
        for (QAction* item : Menu(m.menu)->actions()) {
            names << item->objectName();
            captions << item->text();
            EXPECT_TRUE(item->shortcut().isEmpty()) << item->objectName().toStdString();
            EXPECT_TRUE(item->isEnabled());
        }
        EXPECT_EQ(names, m.names);
        EXPECT_EQ(captions, m.captions);
    }
}

TEST_F(StartUpTest, StartsWithCom1CheckedAnEmptyLogAndTheLabelFilled) {
    EXPECT_TRUE(Action("MSCom1")->isChecked());
    for (const char* other : {"MSCom2", "MSCom3", "MSCom4"}) EXPECT_FALSE(Action(other)->isChecked()) << other;
    EXPECT_TRUE(window->Log().Text().isEmpty());
    EXPECT_FALSE(line->open);
    EXPECT_TRUE(line->written.empty());
    EXPECT_TRUE(PortMenuEnabled());
    EXPECT_EQ(window->findChild<QLabel*>("InfoLabel")->text(), QStringLiteral("Kelvra Net Monitor Tool\nv. 1.0.4"));
    EXPECT_EQ(window->Link().CrLf, "\r\n");
    EXPECT_EQ(window->Link().CmdType, (ByteString{0x40, 0x00}));
    EXPECT_TRUE(runtime.boxes.empty());
}

}  // namespace
}  // namespace kelvra::test

namespace kelvra::test {
namespace {

TEST(StartUpWithSetup, StartPortTooltipsAndRecord) {
    const std::string log = "/tmp/kelvra-window-" + std::to_string(::getpid()) + ".log";
    {
        LogFile file(log);
        Recorder recorder(file);
        FakeRuntime runtime;
        auto serial = std::make_unique<FakeSerial>(runtime);
        FakeSerial* line = serial.get();
        PortMap ports;
        ports.SetSettings(3, "/dev/ttyUSB0");
        GxxMain window(std::move(serial), runtime, WindowSetup{3, ports, &recorder});
        ASSERT_TRUE(window.Form_Load());
        EXPECT_EQ(line->port, 3);
        QStringList checked, tips;
        for (QAction* item : window.findChild<QMenu*>("MPort")->actions()) {
            if (item->isChecked()) checked << item->text();
            tips << item->toolTip();
        }
        EXPECT_EQ(checked, QStringList{"Com3"});
        EXPECT_EQ(tips, (QStringList{"/dev/ttyS0, the default", "/dev/ttyS1, the default",
                                     "/dev/ttyUSB0, from the settings file", "/dev/ttyS3, the default"}));
        line->open = true;
        line->Raise(CommEventCode::Frame);
        runtime.DoEvents(runtime.now);
        EXPECT_EQ(window.Log().Text(), "Framing Error\r\n");
    }
    std::ifstream recorded(log);
    std::string text((std::istreambuf_iterator<char>(recorded)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(" Com3 /dev/ttyUSB0 Framing Error\n"), std::string::npos) << text;
    ::unlink(log.c_str());
}

}  // namespace
}  // namespace kelvra::test
