// SPDX-License-Identifier: MIT
// The PATH edited as a list of entries: the tool's folder added once and taken
// off again, every other entry, reference and byte as it was, at any length.

#include <gtest/gtest.h>

#include <string>

#include "install/PathEntries.h"

namespace kelvra::PathEntries {
namespace {

const std::wstring Tool = L"C:\\Program Files\\Kelvra Net Monitor Tool";

TEST(PathEntries, AddsTheFolderOnceAndTakesItOffAsItWas) {
    const std::wstring system = L"%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem";
    auto padded = [&](std::size_t length) {
        std::wstring path = system;
        for (int i = 0; path.size() < length; ++i) path += L";C:\\Tools\\long folder " + std::to_wstring(i);
        return path.substr(0, length);
    };
    const struct {
        const char* name;
        std::wstring before;
        std::wstring entry;
        std::wstring added;
    } cases[] = {
        {"Wine's default", system, Tool, system + L";" + Tool},
        {"empty", L"", Tool, Tool},
        {"a trailing separator kept", L"C:\\A;", Tool, L"C:\\A;" + Tool + L";"},
        {"a folder inside the install folder is another entry", L"C:\\Tools\\git\\cmd;C:\\Tools\\python311", L"C:\\Tools",
         L"C:\\Tools\\git\\cmd;C:\\Tools\\python311;C:\\Tools"},
        {"a longer name is another entry", L"C:\\Program Files\\Kelvra Net Monitor Tool Beta\\bin", Tool,
         L"C:\\Program Files\\Kelvra Net Monitor Tool Beta\\bin;" + Tool},
        {"there already, another case and a trailing backslash", L"c:\\program files\\kelvra net monitor tool\\;C:\\B",
         Tool, L"c:\\program files\\kelvra net monitor tool\\;C:\\B"},
        {"there already, quoted", L"\"" + Tool + L"\";C:\\B", Tool, L"\"" + Tool + L"\";C:\\B"},
        {"empty entries", L"C:\\A;;C:\\B", Tool, L"C:\\A;;C:\\B;" + Tool},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Added(c.before, c.entry), c.added);
        EXPECT_EQ(Added(Added(c.before, c.entry), c.entry), c.added) << "installed twice: one entry";
        if (c.added != c.before) EXPECT_EQ(Removed(c.added, c.entry), c.before) << "uninstalled: as before";
    }
    for (const std::size_t length : {std::size_t{1000}, std::size_t{1023}, std::size_t{1104}, std::size_t{4000},
                                     std::size_t{40000}}) {
        SCOPED_TRACE(length);
        const std::wstring before = padded(length);
        const std::wstring added = Added(before, Tool);
        EXPECT_EQ(added.size(), length + 1 + Tool.size()) << "nothing cut";
        EXPECT_EQ(added.substr(0, length), before);
        EXPECT_EQ(Removed(added, Tool), before);
    }
}

TEST(PathEntries, TakesOffOnlyWholeEntriesThatAreTheFolder) {
    const struct {
        std::wstring path;
        std::wstring removed;
    } cases[] = {
        {Tool + L";C:\\B", L"C:\\B"},
        {L"C:\\A;" + Tool + L"\\;C:\\B", L"C:\\A;C:\\B"},
        {L"C:\\A;" + Tool + L" Beta;C:\\B", L"C:\\A;" + Tool + L" Beta;C:\\B"},
        {L"C:\\A;" + Tool + L"\\bin", L"C:\\A;" + Tool + L"\\bin"},
        {L"%ProgramFiles%\\Kelvra Net Monitor Tool;C:\\A", L"%ProgramFiles%\\Kelvra Net Monitor Tool;C:\\A"},
    };
    for (const auto& c : cases) EXPECT_EQ(Removed(c.path, Tool), c.removed);
    EXPECT_FALSE(Same(L"", L"")) << "an empty entry is no folder";
    EXPECT_FALSE(Same(L"\"\"", L"\"\"")) << "nor are empty quotes";
    EXPECT_TRUE(Same(L"\\", L"\\")) << "the root is one";
    EXPECT_TRUE(Same(L"C:\\ZONE\\", L"c:\\zone")) << "every letter's case";
}

}  // namespace
}  // namespace kelvra::PathEntries
