// SPDX-License-Identifier: MIT
#include "link/PortControl.h"

#include <exception>
#include <optional>

namespace kelvra {

void PortControl::TogglePort() {
    std::optional<std::string> lastError;
    std::optional<CommError> cause;
    auto step = [&](auto&& action) {
        try {
            action();
        } catch (const std::exception& e) {
            lastError = e.what();
            cause = CommErrorOf(e);
        }
    };
    auto report = [&](const char* line) {
        step([&] {
            if (lastError) {
                link_.LastFailure = LinkFailure{LinkFailure::Stage::Port, *lastError, {}, cause};
                runtime_.MsgBox(*lastError, MsgButtons::Ok, MsgIcon::Exclamation);
            } else
                view_.LogLine(line);
        });
    };

    step([&] { link_.RxBuffer.clear(); });
    step([&] { link_.TxSeq = 0; });
    bool open = false;
    step([&] { open = comm_.PortOpen(); });
    // A PortOpen that cannot be read counts as open, so the close path reports it.
    if (open || lastError) {
        step([&] { view_.SetPortMenuEnabled(true); });
        step([&] { comm_.SetInBufferCount(0); });
        step([&] { comm_.SetOutBufferCount(0); });
        step([&] { comm_.SetPortOpen(false); });
        report(ClosedLine);
        return;
    }
    step([&] { comm_.SetPortOpen(true); });
    step([&] { comm_.SetInBufferCount(0); });
    step([&] { comm_.SetOutBufferCount(0); });
    if (!lastError) step([&] { view_.SetPortMenuEnabled(false); });
    report(OpenedLine);
}

}  // namespace kelvra
