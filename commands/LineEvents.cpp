// SPDX-License-Identifier: MIT
#include "commands/LineEvents.h"

#include "serial/SerialComm.h"

namespace kelvra {

CommEventReport DescribeCommEvent(std::int16_t code, const std::string& componentText) {
    using R = CommEventReport;
    namespace C = CommEventCode;
    switch (code) {
    case C::Send:
    case C::Receive: return {R::Ignored, ""};
    case C::CtsChange: return {R::Event, "Change in CTS Detected"};
    case C::DsrChange: return {R::Event, "Change in DSR Detected"};
    case C::CdChange: return {R::Event, "Change in CD Detected"};
    case C::Ring: return {R::Event, "The Phone is Ringing"};
    case C::EndOfFile: return {R::Event, "End of File Detected"};
    case C::Break: return {R::Event, "Break Received"};
    case C::CtsTimeout: return {R::Error, "CTS Timeout"};
    case C::DsrTimeout: return {R::Error, "DSR Timeout"};
    case C::Frame: return {R::Event, "Framing Error"};
    case C::Overrun: return {R::Error, "Overrun Error"};
    case C::CdTimeout: return {R::Error, "Carrier Detect Timeout"};
    case C::RxOver: return {R::Error, "Receive Buffer Overflow"};
    case C::RxParity: return {R::Event, "Parity Error"};
    case C::TxFull: return {R::Error, "Transmit Buffer Full"};
    default: return {R::Error, componentText.empty() ? "Unknown error or event" : componentText};
    }
}

}  // namespace kelvra
