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

namespace {

// The cases of a table in the source tree, one a line.
std::vector<std::string> case_lines(const std::string& name) {
    std::ifstream file(std::string(SOURCE_DIR) + "/util/" + name);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line[0] != '#') {
            lines.push_back(line);
        }
    }
    // A missing or emptied table would check nothing.
    EXPECT_GE(lines.size(), 5U) << name;
    return lines;
}

// The rest of a row after its text and type.
template <typename T>
void check(CmdArgParser& parser, std::istream& row) {
    std::string start_text;
    bool result = false;
    row >> start_text >> std::boolalpha >> result;
    T start;
    std::memset(&start, 0x7F, sizeof start);
    if (start_text != "fill") {
        start = static_cast<T>(std::stold(start_text));
    }
    T value = start;
    EXPECT_EQ(parser.next(value), result);
    bool taken = false;
    std::string expected;
    std::string board;
    row >> taken >> expected >> board;
#ifdef __powerpc__
    if (!board.empty()) {
        expected = board;
    }
#endif
    if (expected == "=") {
        EXPECT_EQ(value, start);
    } else {
        EXPECT_EQ(value, static_cast<T>(std::stold(expected)));
    }
    std::string next;
    parser.next_str(next);
    EXPECT_EQ(next == "after", taken);
}

using Check = void (*)(CmdArgParser&, std::istream&);

const std::map<std::string, Check> checks = {
    {"int", check<int>},     {"uint", check<unsigned int>},
    {"long", check<long>},   {"ulong", check<unsigned long>},
    {"short", check<short>}, {"ushort", check<unsigned short>},
    {"char", check<char>},   {"uchar", check<unsigned char>},
    {"float", check<float>}, {"double", check<double>},
};

TEST(CmdArgParser, ConvertsByTheCaseTable) {
    for (const auto& line : case_lines("CmdArgParser_cases.txt")) {
        SCOPED_TRACE(line);
        std::istringstream row(line);
        std::string text;
        std::string type;
        row >> std::quoted(text) >> type;
        const char* argv[] = {"prog", "-v", text.c_str(), "after"};
        const int argc = text == "(end)" ? 2 : 4;
        CmdArgParser parser(argc, argv);
        ASSERT_TRUE(parser.find("-v"));
        checks.at(type)(parser, row);
    }
}

// A step of CmdArgParser_cursor.txt.
void check_step(CmdArgParser& parser, const std::string& step) {
    const std::string op = step.substr(0, 4);
    std::string got;
    if (op == "find") {
        EXPECT_TRUE(parser.find(step.substr(5)));
    } else if (op == "miss") {
        EXPECT_FALSE(parser.find(step.substr(5)));
    } else if (parser.next_str(got)) {
        EXPECT_EQ("take:" + got, step);
    } else {
        EXPECT_EQ("none", step);
    }
}

TEST(CmdArgParser, MovesTheCursorByTheCaseTable) {
    // With argc 0, argv is never read.
    CmdArgParser empty(0, static_cast<char**>(nullptr));
    EXPECT_FALSE(empty.find(""));
    for (const auto& line : case_lines("CmdArgParser_cursor.txt")) {
        SCOPED_TRACE(line);
        std::istringstream in(line);
        // A deque keeps its strings in place as it grows.
        std::deque<std::string> args;
        std::vector<const char*> argv = {"prog"};
        std::string arg;
        while (in >> std::quoted(arg) && arg != "|") {
            args.push_back(arg);
            argv.push_back(args.back().c_str());
        }
        const int argc = static_cast<int>(argv.size());
        CmdArgParser parser(argc, argv.data());
        // The parser must hold copies.
        for (std::string& held : args) {
            held = "?";
        }
        std::string step;
        while (in >> step) {
            check_step(parser, step);
        }
    }
}

}  // namespace
