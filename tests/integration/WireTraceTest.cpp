// SPDX-License-Identifier: MIT
#include <QLoggingCategory>
#include <QRegularExpression>

#include "link/Frame.h"
#include "serial/WireTrace.h"
#include "tests/integration/ExchangeRig.h"

namespace kelvra {
namespace {

QStringList traced;

void Capture(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QLatin1String(context.category) == QLatin1String("kelvra.m2bus")) traced << message;
}

TEST(WireTrace, OffByDefault) {
    traced.clear();
    const QtMessageHandler previous = qInstallMessageHandler(Capture);
    {
        ExchangeRig rig({}, 1.0);
        rig.Choose("MPNetOnRD");
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(traced.isEmpty());
}

TEST(WireTrace, ShowsEveryFrameOfAnExchangeInOrder) {
    traced.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("kelvra.m2bus.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(Capture);
    QStringList log;
    {
        ExchangeRig rig({}, 1.0);
        rig.Choose("MPNetOnRD");
        log = rig.LogLines();
    }
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    const QRegularExpression line(QStringLiteral("^ *(\\d+) ms (out|in ) ((?:[0-9A-F]{2} ?)+)$"));
    QStringList out;
    std::string in;
    long lastMs = 0;
    for (const QString& message : traced) {
        const auto match = line.match(message);
        ASSERT_TRUE(match.hasMatch()) << message.toStdString();
        const long ms = match.captured(1).toLong();
        EXPECT_GE(ms, lastMs);
        lastMs = ms;
        if (match.captured(2) == QLatin1String("out"))
            out << match.captured(3);
        else
            in += (in.empty() ? "" : " ") + match.captured(3).toStdString();
    }
    const QStringList frames{"1F 00 10 40 00 04 00 01 64 01 01 2E", "1F 00 10 40 00 04 00 01 64 01 01 2E",
                             "1F 00 10 7F 01 71",
                             "1F 00 10 40 00 04 00 01 7E F3 02 C5", "1F 00 10 40 00 04 00 01 7E F3 02 C5",
                             "1F 00 10 7F 02 72"};
    EXPECT_EQ(out, frames);

    // What came in is what this phone says to those frames, chunked any way.
    PhoneModel phone;
    std::string expectedIn;
    for (const QString& frame : frames) {
        const ByteString answer = phone.Hear(HexToBytes(QString(frame).remove(' ').toStdString()));
        expectedIn += (expectedIn.empty() ? "" : " ") + BytesToHex(answer);
    }
    EXPECT_EQ(in, expectedIn);
    EXPECT_TRUE(log.contains("R&D Test On")) << "tracing changes nothing the window shows";
}

}  // namespace
}  // namespace kelvra

namespace kelvra {
namespace {

TEST(WireTrace, OneFramePerLineWithBytesBetweenFramesApart) {
    traced.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("kelvra.m2bus.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(Capture);
    WireTrace::SetSplitter(FramePieces);
    WireTrace::Received(HexToBytes("551FAA" "1F10007F0171" "1F1000400000" "0758" "1F"));
    WireTrace::SetSplitter({});
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    QStringList pieces;
    for (const QString& line : traced) pieces << line.section(" in  ", 1);
    EXPECT_EQ(pieces, (QStringList{"55 1F AA", "1F 10 00 7F 01 71", "1F 10 00 40 00 00 07 58", "1F"}));
}

}  // namespace
}  // namespace kelvra
