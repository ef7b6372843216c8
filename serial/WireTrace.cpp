// SPDX-License-Identifier: MIT
#include "serial/WireTrace.h"

#include <algorithm>
#include <chrono>

Q_LOGGING_CATEGORY(lcM2bus, "kelvra.m2bus", QtInfoMsg)

namespace kelvra::WireTrace {

namespace {
const auto programStart = std::chrono::steady_clock::now();
std::vector<Bytes> frameStarts;

QString Hex(Bytes::const_iterator from, Bytes::const_iterator to) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(&*from), static_cast<qsizetype>(to - from)).toHex(' ').toUpper());
}

// Where the next frame starts at or after `from`; `bytes.end()` if none.
Bytes::const_iterator NextFrameStart(const Bytes& bytes, Bytes::const_iterator from) {
    auto next = bytes.end();
    for (const Bytes& start : frameStarts) {
        const auto found = std::search(from, bytes.end(), start.begin(), start.end());
        if (found < next) next = found;
    }
    return next;
}

void Trace(const char* direction, const Bytes& bytes) {
    if (!lcM2bus().isDebugEnabled() || bytes.empty()) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - programStart).count();
    // One line per frame; bytes before the first frame start, or between frames, make a piece of their own.
    auto piece = bytes.begin();
    while (piece != bytes.end()) {
        const auto end = NextFrameStart(bytes, piece + 1);
        qCDebug(lcM2bus).noquote() << QStringLiteral("%1 ms %2 %3").arg(ms, 8).arg(QLatin1String(direction), Hex(piece, end));
        piece = end;
    }
}
}  // namespace

void SetFrameStarts(std::vector<Bytes> starts) { frameStarts = std::move(starts); }

void Sent(const Bytes& bytes) { Trace("out", bytes); }
void Received(const Bytes& bytes) { Trace("in ", bytes); }

}  // namespace kelvra::WireTrace
