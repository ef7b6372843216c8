// SPDX-License-Identifier: MIT
// The Wireshark dissector names commands and line events as the program does:
// its tables hold exactly the rows of the program's own tables.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "commands/CmdSets.h"
#include "commands/LineEvents.h"

namespace kelvra {
namespace {

std::string Dissector() {
    std::ifstream file(KELVRA_SOURCE_DIR "/packaging/wireshark/m2bus.lua");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The rows `[key] = value` of the Lua table `local <name> = { ... }`, keys and values as written
// (quotes taken off); a key that is a constant of the file is given as its value.
std::map<std::string, std::string> LuaTable(const std::string& lua, const std::string& name) {
    std::map<std::string, std::string> rows;
    const std::smatch start = [&] {
        std::smatch found;
        std::regex_search(lua, found, std::regex("local " + name + " = \\{"));
        return found;
    }();
    if (start.empty()) return rows;
    const std::string body = lua.substr(static_cast<std::size_t>(start.position(0) + start.length(0)),
                                        lua.find('}', static_cast<std::size_t>(start.position(0))) -
                                            static_cast<std::size_t>(start.position(0) + start.length(0)));
    const std::regex row(R"re(\[("?)([A-Za-z0-9_]+)\1\]\s*=\s*("([^"]*)"|true))re");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), row); it != std::sregex_iterator(); ++it) {
        std::string key = (*it)[2];
        std::smatch constant;
        if (std::regex_search(lua, constant, std::regex("local " + key + " = ([0-9]+)"))) key = constant[1];
        rows[key] = (*it)[4].matched ? std::string((*it)[4]) : std::string((*it)[3]);
    }
    return rows;
}

TEST(DissectorTables, NameEveryCommandAndLineEventAsTheProgramDoes) {
    const std::string lua = Dissector();
    ASSERT_FALSE(lua.empty()) << "the dissector cannot be read";

    std::map<std::string, std::string> commands;
    for (const PhoneCommand& command : PhoneCommands()) commands[command.command] = command.name;
    EXPECT_EQ(LuaTable(lua, "commands"), commands);

    std::map<std::string, std::string> events, news;
    for (const LineEventEntry& event : LineEvents()) {
        if (event.kind == CommEventReport::Ignored) continue;
        events[std::to_string(event.code)] = event.readerName;
        if (event.news) news[std::to_string(event.code)] = "true";
    }
    EXPECT_EQ(LuaTable(lua, "event_names"), events);
    EXPECT_EQ(LuaTable(lua, "line_news"), news);
}

}  // namespace
}  // namespace kelvra
