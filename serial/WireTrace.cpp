// SPDX-License-Identifier: MIT
#include "serial/WireTrace.h"

#include <chrono>

Q_LOGGING_CATEGORY(lcM2bus, "kelvra.m2bus", QtInfoMsg)

namespace kelvra::WireTrace {

namespace {
const auto programStart = std::chrono::steady_clock::now();
Splitter splitter;

QString Hex(const Bytes& bytes) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())).toHex(' ').toUpper());
}

void Trace(const char* direction, const Bytes& bytes) {
    if (!lcM2bus().isDebugEnabled() || bytes.empty()) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - programStart).count();
    // One line per frame; bytes before, between or after frames make a piece of their own.
    for (const Bytes& piece : splitter ? splitter(bytes) : std::vector<Bytes>{bytes})
        qCDebug(lcM2bus).noquote() << QStringLiteral("%1 ms %2 %3").arg(ms, 8).arg(QLatin1String(direction), Hex(piece));
}
}  // namespace

void SetSplitter(Splitter split) { splitter = std::move(split); }

void Sent(const Bytes& bytes) { Trace("out", bytes); }
void Received(const Bytes& bytes) { Trace("in ", bytes); }

}  // namespace kelvra::WireTrace
