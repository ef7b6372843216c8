// SPDX-License-Identifier: MIT
// The telnet COM-PORT-OPTION session against whatever a device server sends.
// First byte: the size of the pieces the rest is fed in (1 to 256). Checked:
// the same data, events and answers whatever the pieces; never more data than
// bytes sent; the greeting bounded; and any bytes escaped come back whole.

#include <cstdlib>

#include "serial/network/ComPortClient.h"

using namespace kelvra;

namespace {
struct Outcome {
    Bytes data, replies;
    std::vector<std::int16_t> events;
    bool settled = false;
    std::string refusal, greeting;
};

Outcome Run(const std::uint8_t* bytes, std::size_t size, std::size_t piece) {
    Rfc2217::Session session;
    Outcome out;
    for (std::size_t at = 0; at < size; at += piece) {
        session.Feed(bytes + at, std::min(piece, size - at));
        const Bytes data = session.TakeData();
        out.data.insert(out.data.end(), data.begin(), data.end());
        const Bytes replies = session.TakeReplies();
        out.replies.insert(out.replies.end(), replies.begin(), replies.end());
        for (std::int16_t event : session.TakeEvents()) out.events.push_back(event);
    }
    out.settled = session.Settled();
    out.refusal = session.Refusal();
    out.greeting = session.Greeting();
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const Outcome whole = Run(data + 1, size - 1, size);
    const Outcome pieces = Run(data + 1, size - 1, piece);
    if (whole.data != pieces.data || whole.events != pieces.events || whole.replies != pieces.replies ||
        whole.settled != pieces.settled || whole.refusal != pieces.refusal || whole.greeting != pieces.greeting)
        std::abort();
    if (whole.data.size() + whole.greeting.size() > size - 1 || whole.greeting.size() > 200) std::abort();

    const Bytes frame(data + 1, data + size);
    const Bytes wire = Telnet::Escaped(frame);
    Telnet::Decoder decoder;
    Bytes back;
    std::vector<Telnet::Decoder::Command> commands;
    decoder.Feed(wire.data(), wire.size(), back, commands);
    if (back != frame || !commands.empty()) std::abort();
    return 0;
}
