// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QScrollBar>

#include "app/Utility.h"

namespace kelvra {
namespace {

TEST(MessageLog, EachMessageIsFollowedByTheLineBreak) {
    const struct {
        std::vector<std::string> messages;
        QString text;
    } cases[] = {
        {{"A", "B"}, "A\r\nB\r\n"},
        {{""}, "\r\n"},
        {{"one\r\ntwo", "three"}, "one\r\ntwo\r\nthree\r\n"},
        {{"R&D Test On"}, "R&D Test On\r\n"},
    };
    for (const auto& c : cases) {
        LogBox log;
        for (const std::string& message : c.messages) log.LogLine(message, "\r\n");
        EXPECT_EQ(log.Text(), c.text) << "the text is complete at once";
        QCoreApplication::processEvents();
        EXPECT_EQ(log.toPlainText(), ShownText(c.text)) << "the view shows the same lines";
    }
}

TEST(MessageLog, KeepsEveryLineAndIsNotEditable) {
    LogBox log;
    for (int i = 0; i < 5000; ++i) log.LogLine(std::to_string(i), "\r\n");
    EXPECT_TRUE(log.Text().startsWith("0\r\n1\r\n"));
    EXPECT_TRUE(log.Text().endsWith("4998\r\n4999\r\n"));
    EXPECT_TRUE(log.isReadOnly());
}

TEST(MessageLog, FollowsNewLinesOnlyWhileScrolledToTheEnd) {
    LogBox log;
    log.resize(200, 80);
    log.show();
    QScrollBar* bar = log.verticalScrollBar();
    for (int i = 0; i < 200; ++i) {
        log.LogLine("line " + std::to_string(i), "\r\n");
        if (i % 50 == 0) QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum()) << "at the end, the view follows";
    bar->setValue(10);
    log.LogLine("more", "\r\n");
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 10) << "scrolled up, the view stays put";
    bar->setValue(bar->maximum());
    log.LogLine("again", "\r\n");
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace
}  // namespace kelvra
