// SPDX-License-Identifier: MIT
#include "util/CmdArgParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using zor::util::CmdArgParser;

// The cases of a table in the source tree, one a line; the other unit tests
// of this binary read theirs with it too.
std::vector<std::string> case_lines(const std::string& path) {
    std::ifstream file(std::string(SOURCE_DIR) + "/" + path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#') {
            lines.push_back(line);
        }
    }
    EXPECT_GE(lines.size(), 5u) << path;  // a missing or emptied table checks nothing
    return lines;
}

namespace {

// Every byte of the start value is 0x7F: a double beyond the float range,
// bits above 31 in a long that is wider than 32 bits.
template <typename T>
void check_value(CmdArgParser& p, bool result, const std::string& expected) {
    T start;
    std::memset(&start, 0x7F, sizeof start);
    T value = start;
    EXPECT_EQ(p.next(value), result);
    EXPECT_EQ(value, expected == "=" ? start : static_cast<T>(std::stold(expected)));
}

TEST(CmdArgParser, ConvertsValuesByTheCaseTable) {
    const std::map<std::string, void (*)(CmdArgParser&, bool, const std::string&)> checks = {
        {"int", check_value<int>},     {"uint", check_value<unsigned int>},
        {"long", check_value<long>},   {"ulong", check_value<unsigned long>},
        {"short", check_value<short>}, {"ushort", check_value<unsigned short>},
        {"char", check_value<char>},   {"uchar", check_value<unsigned char>},
        {"float", check_value<float>}, {"double", check_value<double>}};
    for (const std::string& line : case_lines("util/CmdArgParser_cases.txt")) {
        SCOPED_TRACE(line);
        std::istringstream in(line);
        std::string text, type, value, board;
        bool result = false, taken = false;
        in >> std::quoted(text) >> type >> std::boolalpha >> result >> taken >> value >> board;
#ifdef __powerpc__
        value = board.empty() ? value : board;
#endif
        const char* argv[] = {"prog", "-v", text.c_str(), "after"};
        CmdArgParser p(text == "(end)" ? 2 : 4, argv);
        ASSERT_TRUE(p.find("-v"));
        checks.at(type)(p, result, value);
        EXPECT_EQ(p.next_str(text) && text == "after", taken);
    }
}

TEST(CmdArgParser, MovesTheCursorByTheCaseTable) {
    EXPECT_FALSE(CmdArgParser(0, static_cast<char**>(nullptr)).find(""));  // argv not read
    for (const std::string& line : case_lines("util/CmdArgParser_cursor.txt")) {
        std::istringstream in(line);
        std::deque<std::string> args;           // its strings stay in place as it grows
        std::vector<const char*> argv{"prog"};  // no null pointer: argv[argc] is never read
        for (std::string arg; in >> std::quoted(arg) && arg != "|";) {
            argv.push_back(args.emplace_back(arg).c_str());
        }
        CmdArgParser p(static_cast<int>(argv.size()), argv.data());
        args.assign(args.size(), "?");  // the parser keeps copies
        for (std::string step, got; in >> step;) {
            const std::string op = step.substr(0, step.find(':'));
            const std::string operand = step.substr(op.size() + (op != step));
            if (op == "find" || op == "miss") {
                EXPECT_EQ(p.find(operand), op == "find") << line << ": " << step;
            } else {
                EXPECT_EQ(p.next_str(got) ? "take:" + got : "none", step) << line;
            }
        }
    }
}

}  // namespace
