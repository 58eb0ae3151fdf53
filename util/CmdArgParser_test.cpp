// SPDX-License-Identifier: MIT
#include "util/CmdArgParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

using zor::util::CmdArgParser;

namespace {

static_assert(!std::is_copy_constructible<CmdArgParser>::value, "parser must not be copied");
static_assert(!std::is_copy_assignable<CmdArgParser>::value, "parser must not be assigned");

// Builds a parser for "prog" followed by `args`. The argv array dies with this
// function, so every test also relies on the parser keeping its own copies.
CmdArgParser parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"prog"};
    argv.insert(argv.end(), args);
    argv.push_back(nullptr);
    return CmdArgParser(static_cast<int>(argv.size() - 1), argv.data());
}

// The argument after the value under test; taking it tells whether the value was taken.
const char* const kAfter = "after";

bool took_value(CmdArgParser& p) {
    std::string s;
    return p.next_str(s) && s == kAfter;
}

TEST(CmdArgParser, ConstructionCountsAndCopies) {
    CmdArgParser none(0, static_cast<const char**>(nullptr));  // argv must not be read
    EXPECT_FALSE(none.find(""));
    EXPECT_FALSE(none.find("prog"));
    CmdArgParser negative(-3, static_cast<char**>(nullptr));
    EXPECT_FALSE(negative.find(""));

    // The program name is not an argument; arguments past argc are not read.
    const char* argv[] = {"prog", "-a", "-b", nullptr};
    CmdArgParser only_prog(1, argv);
    EXPECT_FALSE(only_prog.find("prog"));
    CmdArgParser two(2, argv);
    EXPECT_TRUE(two.find("-a"));
    EXPECT_FALSE(two.find("-b"));

    // Non-const argv, changed after construction.
    char name[] = "prog", opt[] = "-v", val[] = "12";
    char* mutable_argv[] = {name, opt, val, nullptr};
    CmdArgParser p(3, mutable_argv);
    opt[1] = 'w';
    val[0] = '9';
    EXPECT_FALSE(p.find("-w"));
    ASSERT_TRUE(p.find("-v"));
    int n = 0;
    EXPECT_TRUE(p.next(n));
    EXPECT_EQ(n, 12);
}

TEST(CmdArgParser, FindMatchesWholeCaseSensitiveArguments) {
    auto p = parse({"-rx_raw", "-RX", "-rx=5", "rx", ""});
    EXPECT_FALSE(p.find("-rx"));
    EXPECT_FALSE(p.find("-rx_"));
    EXPECT_FALSE(p.find("-rx_raw_"));
    EXPECT_TRUE(p.find("-rx_raw"));
    EXPECT_TRUE(p.find("-RX"));
    EXPECT_TRUE(p.find("-rx=5"));
    EXPECT_TRUE(p.find("rx"));
    EXPECT_TRUE(p.find(""));
    EXPECT_FALSE(parse({}).find(""));
}

TEST(CmdArgParser, FindPlacesCursorAfterFirstMatchFromTheStart) {
    auto p = parse({"-read", "1", "-read", "2", "-n", "3", "4"});
    unsigned int v = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(p.find("-read"));
        ASSERT_TRUE(p.next(v));
        EXPECT_EQ(v, 1u) << "round " << i;
    }
    // Forwards to a later option, then a failed find keeps the cursor.
    ASSERT_TRUE(p.find("-n"));
    ASSERT_TRUE(p.next(v));
    EXPECT_EQ(v, 3u);
    EXPECT_FALSE(p.find("-missing"));
    ASSERT_TRUE(p.next(v));
    EXPECT_EQ(v, 4u);
    EXPECT_FALSE(p.next(v));
    // Backwards again; an argument already taken as a value is still found.
    ASSERT_TRUE(p.find("1"));
    std::string s;
    EXPECT_FALSE(p.next_str(s));  // cursor on the second "-read"
    ASSERT_TRUE(p.find("3"));
    ASSERT_TRUE(p.next_str(s));
    EXPECT_EQ(s, "4");
}

TEST(CmdArgParser, NextStr) {
    auto p = parse({"-a", "", "x", "-b", "-5", "y"});
    std::string s = "untouched";
    EXPECT_FALSE(p.next_str(s)) << "no find yet";
    EXPECT_EQ(s, "untouched");
    ASSERT_TRUE(p.find("-a"));
    ASSERT_TRUE(p.next_str(s));  // an empty argument is a value
    EXPECT_EQ(s, "");
    ASSERT_TRUE(p.next_str(s));
    EXPECT_EQ(s, "x");
    s = "untouched";
    EXPECT_FALSE(p.next_str(s));  // "-b" is not taken, however often asked
    EXPECT_FALSE(p.next_str(s));
    EXPECT_EQ(s, "untouched");
    ASSERT_TRUE(p.find("-b"));
    EXPECT_FALSE(p.next_str(s));  // a negative number is refused the same way
    ASSERT_TRUE(p.find("-5"));
    ASSERT_TRUE(p.next_str(s));
    EXPECT_EQ(s, "y");
    EXPECT_FALSE(p.next_str(s));  // past the last argument
    EXPECT_FALSE(p.next_str(s));
    EXPECT_EQ(s, "y");
}

TEST(CmdArgParser, NextBeforeAnyFindReturnsFalse) {
    auto p = parse({"1", "2"});
    EXPECT_FALSE(p.find("-none"));
    int i = 7;
    unsigned int u = 7;
    float f = 7;
    EXPECT_FALSE(p.next(i));
    EXPECT_FALSE(p.next(u));
    EXPECT_FALSE(p.next(f));
    EXPECT_EQ(i, 7);
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(f, 7.0f);
}

TEST(CmdArgParser, NextIntAndUnsigned) {
    struct Row {
        const char* text;
        bool ok;
        std::uint32_t bits;  // expected when ok
        bool taken;
    };
    const Row rows[] = {
        {"0", true, 0, true},
        {"42", true, 42, true},
        {"+7", true, 7, true},
        {"010", true, 10, true},  // leading zeros are not octal
        {"12abc", true, 12, true},
        {"1 2", true, 1, true},
        {"1e3", true, 1, true},
        {"2147483647", true, 0x7FFFFFFF, true},
        {"2147483648", false, 0, true},  // beyond int: decimal fails
        {"4026597376", false, 0, true},
        {" 12", false, 0, true},  // no white space is skipped
        {"\t12", false, 0, true},
        {"abc", false, 0, true},
        {"", false, 0, true},
        {"x1F", false, 0, true},
        {"0x", true, 0, true},  // two characters: decimal, stops at x
        {"0X", true, 0, true},
        {"00x1F", true, 0, true},  // x must be the second character
        {"+0x1F", true, 0, true},
        {"0x1F", true, 31, true},
        {"0X1f", true, 31, true},
        {"0x1Fzz", true, 31, true},
        {"0xF0010000", true, 0xF0010000, true},
        {"0x7fffffff", true, 0x7FFFFFFF, true},
        {"0x80000000", true, 0x80000000, true},
        {"0xFFFFFFFF", true, 0xFFFFFFFF, true},
        {"-5", false, 0, false},
        {"-0x10", false, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("text '") + r.text + "'");
        auto p = parse({"-v", r.text, r.text, kAfter});
        ASSERT_TRUE(p.find("-v"));
        int i = -77;
        unsigned int u = 77;
        EXPECT_EQ(p.next(i), r.ok);
        EXPECT_EQ(p.next(u), r.ok);
        if (r.ok) {
            EXPECT_EQ(i, static_cast<int>(r.bits));
            EXPECT_EQ(u, r.bits);
        }
        if (!r.taken) {
            EXPECT_EQ(i, -77);
            EXPECT_EQ(u, 77u);
        }
        EXPECT_EQ(took_value(p), r.taken);
    }
}

// Every overload takes exactly one argument, so one command line serves all six.
TEST(CmdArgParser, NextNarrowAndWideIntegers) {
    struct Row {
        const char* text;
        short s;
        unsigned short us;
        unsigned char c;  // compared as the char's 8 bits
        unsigned char uc;
        long l;
        unsigned long ul;
    };
    const Row rows[] = {
        {"65", 65, 65, 65, 65, 65, 65},
        {"255", 255, 255, 255, 255, 255, 255},
        {"300", 300, 300, 44, 44, 300, 300},
        {"40000", -25536, 40000, 64, 64, 40000, 40000},
        {"70000", 4464, 4464, 112, 112, 70000, 70000},
        {"2147483647", -1, 65535, 255, 255, 2147483647L, 2147483647UL},
        {"0x8001", -32767, 32769, 1, 1, 32769, 32769},
        {"0x12345678", 22136, 22136, 120, 120, 305419896L, 305419896UL},
        {"0x80000000", 0, 0, 0, 0, -2147483647L - 1, 2147483648UL},
        {"0xFFFFFFFF", -1, 65535, 255, 255, -1, 4294967295UL},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("text '") + r.text + "'");
        const char* t = r.text;
        auto p = parse({"-v", t, t, t, t, t, t, kAfter});
        ASSERT_TRUE(p.find("-v"));
        short s = 0;
        unsigned short us = 0;
        char c = 0;
        unsigned char uc = 0;
        // Start the long targets with bits above 31 set where long is that wide.
        long l = std::numeric_limits<long>::min();
        unsigned long ul = std::numeric_limits<unsigned long>::max();
        EXPECT_TRUE(p.next(s));
        EXPECT_TRUE(p.next(us));
        EXPECT_TRUE(p.next(c));
        EXPECT_TRUE(p.next(uc));
        EXPECT_TRUE(p.next(l));
        EXPECT_TRUE(p.next(ul));
        EXPECT_EQ(s, r.s);
        EXPECT_EQ(us, r.us);
        EXPECT_EQ(static_cast<unsigned char>(c), r.c);
        EXPECT_EQ(uc, r.uc);
        EXPECT_EQ(l, r.l);
        EXPECT_EQ(ul, r.ul);
        EXPECT_TRUE(took_value(p));
    }
}

TEST(CmdArgParser, RefusedValueLeavesEveryTargetUnchanged) {
    for (const bool at_end : {false, true}) {
        SCOPED_TRACE(at_end ? "no argument left" : "argument begins with '-'");
        auto p = at_end ? parse({"-v"}) : parse({"-v", "-1"});
        ASSERT_TRUE(p.find("-v"));
        auto keeps = [&p](auto original) {
            auto target = original;
            EXPECT_FALSE(p.next(target));
            EXPECT_EQ(target, original);
        };
        // Sign bits set, and bits above 31 where long is 64 bits wide.
        keeps(std::numeric_limits<int>::min());
        keeps(std::numeric_limits<unsigned int>::max());
        keeps(std::numeric_limits<long>::min());
        keeps(std::numeric_limits<long>::max());
        keeps(std::numeric_limits<unsigned long>::max());
        keeps(std::numeric_limits<short>::min());
        keeps(std::numeric_limits<unsigned short>::max());
        keeps(static_cast<char>(0xC8));
        keeps(static_cast<unsigned char>(0xC8));
        keeps(0.25f);
        keeps(0.25);
        if (!at_end) {
            EXPECT_TRUE(p.find("-1")) << "the refused argument is still on the command line";
        }
    }
}

TEST(CmdArgParser, NextFloat) {
    struct Row {
        const char* text;
        bool ok;
        float value;  // expected when ok
        bool taken;
    };
    const Row rows[] = {
        {"1.5", true, 1.5f, true},      {"7", true, 7.0f, true},
        {"+2.5", true, 2.5f, true},     {".5", true, 0.5f, true},
        {"2e2", true, 200.0f, true},    {"2E3", true, 2000.0f, true},
        {"1.5E-2", true, 0.015f, true}, {"1.5abc", true, 1.5f, true},
        {"1,5", true, 1.0f, true},    // classic locale: no comma decimal point
        {"1,000", true, 1.0f, true},  // and no digit grouping
        {"0x10", true, 0.0f, true},   // no hexadecimal form
        {" 1.5", false, 0, true},       {"abc", false, 0, true},
        {"", false, 0, true},           {"1e40", false, 0, true},  // too large for a float
        {"-1.5", false, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("text '") + r.text + "'");
        auto p = parse({"-f", r.text, kAfter});
        ASSERT_TRUE(p.find("-f"));
        float f = 42.0f;
        EXPECT_EQ(p.next(f), r.ok);
        if (r.ok) {
            EXPECT_EQ(f, r.value);
        }
        if (!r.taken) {
            EXPECT_EQ(f, 42.0f);
        }
        EXPECT_EQ(took_value(p), r.taken);
    }
}

TEST(CmdArgParser, NextDoubleCarriesSinglePrecision) {
    auto p = parse({"-d", "0.1", "16777217", "2.5", "x", kAfter});
    ASSERT_TRUE(p.find("-d"));
    double d = 0;
    ASSERT_TRUE(p.next(d));
    EXPECT_EQ(d, 0.100000001490116119384765625);
    EXPECT_EQ(d, static_cast<double>(0.1f));
    ASSERT_TRUE(p.next(d));
    EXPECT_EQ(d, 16777216.0);  // 2^24 + 1 has no float
    ASSERT_TRUE(p.next(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_FALSE(p.next(d));
    EXPECT_TRUE(took_value(p));
}

TEST(CmdArgParser, RefusedDoubleBeyondFloatRangeBecomesInfinity) {
    auto p = parse({"-d"});
    ASSERT_TRUE(p.find("-d"));
    for (const double start : {1e300, -1e300}) {
        double d = start;
        EXPECT_FALSE(p.next(d));
        EXPECT_TRUE(std::isinf(d) && std::signbit(d) == std::signbit(start)) << start;
    }
}

}  // namespace
