// SPDX-License-Identifier: MIT
#include "install/PathEntries.h"

#include <vector>

namespace kelvra::PathEntries {

namespace {
constexpr wchar_t Separator = L';';

// An entry as a folder for comparing: no quotes around it, no trailing backslash, ASCII letters folded.
std::wstring Folder(std::wstring entry) {
    if (entry.size() >= 2 && entry.front() == L'"' && entry.back() == L'"') entry = entry.substr(1, entry.size() - 2);
    while (entry.size() > 1 && (entry.back() == L'\\' || entry.back() == L'/')) entry.pop_back();
    for (wchar_t& c : entry)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return entry;
}

// The entries of a PATH value, without the separators.
std::vector<std::wstring> Entries(const std::wstring& path) {
    std::vector<std::wstring> entries;
    std::size_t begin = 0;
    for (std::size_t at = 0; at <= path.size(); ++at)
        if (at == path.size() || path[at] == Separator) {
            entries.push_back(path.substr(begin, at - begin));
            begin = at + 1;
        }
    return entries;
}
}  // namespace

bool Same(const std::wstring& a, const std::wstring& b) {
    const std::wstring folder = Folder(a);
    return !folder.empty() && folder == Folder(b);
}

std::wstring Added(const std::wstring& path, const std::wstring& entry) {
    for (const std::wstring& each : Entries(path))
        if (Same(each, entry)) return path;
    if (path.empty()) return entry;
    // A value that ends with a separator keeps ending with one.
    if (path.back() == Separator) return path + entry + Separator;
    return path + Separator + entry;
}

std::wstring Removed(const std::wstring& path, const std::wstring& entry) {
    std::wstring kept;
    bool first = true;
    for (const std::wstring& each : Entries(path)) {
        if (Same(each, entry)) continue;
        if (!first) kept += Separator;
        kept += each;
        first = false;
    }
    return kept;
}

}  // namespace kelvra::PathEntries
