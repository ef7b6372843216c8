#include "serial/WireTrace.h"

#include <chrono>

Q_LOGGING_CATEGORY(lcM2bus, "kelvra.m2bus", QtInfoMsg)

namespace kelvra::WireTrace {

namespace {
const auto programStart = std::chrono::steady_clock::now();

void Trace(const char* direction, const Bytes& bytes) {
    if (!lcM2bus().isDebugEnabled() || bytes.empty()) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - programStart).count();
    qCDebug(lcM2bus).noquote() << QStringLiteral("%1 ms %2 %3")
                                      .arg(ms, 8)
                                      .arg(QLatin1String(direction))
                                      .arg(QString::fromLatin1(
                                          QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<qsizetype>(bytes.size()))
                                              .toHex(' ')
                                              .toUpper()));
}
}  // namespace

void Sent(const Bytes& bytes) { Trace("out", bytes); }
void Received(const Bytes& bytes) { Trace("in ", bytes); }

}  // namespace kelvra::WireTrace
