// SPDX-License-Identifier: MIT
#pragma once
// UTF-8 and the wide text of the Win32 API, both ways (in windows/System.cpp).

#include <string>
#include <string_view>

namespace kelvra::System {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

}  // namespace kelvra::System
