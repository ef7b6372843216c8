// SPDX-License-Identifier: MIT
#pragma once
// The PATH value edited as a list of entries, for the installer's use: an
// entry is added or taken off whole, compared as a folder (case aside, a
// trailing backslash and surrounding quotes ignored), and everything else in
// the value (other entries, their order, empty entries, %...% references,
// its length) stays byte for byte. Plain C++: tested anywhere.

#include <string>

namespace kelvra::PathEntries {

// Whether two entries name the same folder.
bool Same(const std::wstring& a, const std::wstring& b);
// `path` with `entry` at its end, unless an entry is that folder already (then `path` as it is).
std::wstring Added(const std::wstring& path, const std::wstring& entry);
// `path` without the entries that are `entry`, each with one separator, so
// that Removed(Added(p, e), e) is p whenever p did not hold e.
std::wstring Removed(const std::wstring& path, const std::wstring& entry);

}  // namespace kelvra::PathEntries
