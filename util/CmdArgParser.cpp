// SPDX-License-Identifier: MIT
#include "util/CmdArgParser.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <sstream>

namespace zor::util {

namespace {

bool is_hex_text(const std::string& text) {
    return text.size() > 2 && text[0] == '0' &&
           std::tolower(static_cast<unsigned char>(text[1])) == 'x';
}

// Rounds to the nearest float as the hardware conversion does (ties to
// even), without converting a value outside the float range, which would be
// undefined. Up to half a step above the largest float a value still rounds
// down to it; the tie itself goes to the even neighbour, 2^128, so from there
// on it becomes infinity.
float nearest_float(double value) {
    constexpr float largest = std::numeric_limits<float>::max();
    constexpr float infinity = std::numeric_limits<float>::infinity();
    constexpr double tie = 0x1.ffffffp+127;  // largest + half a step
    if (value >= tie) {
        return infinity;
    }
    if (value <= -tie) {
        return -infinity;
    }
    if (value > largest) {
        return largest;
    }
    if (value < -largest) {
        return -largest;
    }
    return static_cast<float>(value);
}

}  // namespace

CmdArgParser::CmdArgParser(int argc, const char** argv) : arg_count(argc) {
    if (argc >= 1) {
        prog_name = argv[0];
        args.assign(argv + 1, argv + argc);
    }
    cursor = args.cend();
}

// The arguments are only read, never changed.
CmdArgParser::CmdArgParser(int argc, char** argv)
    : CmdArgParser(argc, const_cast<const char**>(argv)) {}

CmdArgParser::~CmdArgParser() = default;

bool CmdArgParser::find(const std::string& option) {
    for (auto it = args.cbegin(); it != args.cend(); ++it) {
        if (*it == option) {
            cursor = it + 1;
            return true;
        }
    }
    return false;
}

bool CmdArgParser::next_str(std::string& value) {
    if (cursor == args.cend()) {
        return false;
    }
    // A value never swallows the option that follows it.
    if (!cursor->empty() && (*cursor)[0] == '-') {
        return false;
    }
    value = *cursor++;
    return true;
}

CmdArgParser::Taken CmdArgParser::next_int(int& value) {
    std::string text;
    if (!next_str(text)) {
        return Taken::nothing;
    }
    if (is_hex_text(text)) {
        unsigned int bits = 0;
        if (std::sscanf(text.c_str(), "%x", &bits) != 1) {
            return Taken::unconverted;
        }
        value = static_cast<int>(bits);
        return Taken::converted;
    }
    // Flags replaced by dec alone: no white-space skip, no octal.
    std::istringstream in(text, std::ios_base::in);
    in.flags(std::ios_base::dec);
    in >> value;
    return in.fail() ? Taken::failed : Taken::converted;
}

bool CmdArgParser::next(int& value) {
    return next_int(value) == Taken::converted;
}

// The target is written back only when the conversion wrote the local int.
// On the 32-bit board the copy in and out is exact, so this is the same as
// always writing back; on a 64-bit host it keeps a refused long untouched.
template <typename T, typename Back>
bool CmdArgParser::next_through_int(T& value, int local, Back back) {
    const Taken taken = next_int(local);
    if (taken == Taken::converted || taken == Taken::failed) {
        value = back(local);
    }
    return taken == Taken::converted;
}

bool CmdArgParser::next(unsigned int& value) {
    return next_through_int(value, static_cast<int>(value),
                            [](int v) { return static_cast<unsigned int>(v); });
}

bool CmdArgParser::next(long& value) {
    return next_through_int(value, static_cast<int>(static_cast<std::uint32_t>(value)),
                            [](int v) { return static_cast<long>(v); });
}

bool CmdArgParser::next(unsigned long& value) {
    return next_through_int(value, static_cast<int>(static_cast<std::uint32_t>(value)), [](int v) {
        return static_cast<unsigned long>(static_cast<std::uint32_t>(v));
    });
}

bool CmdArgParser::next(short& value) {
    return next_through_int(value, static_cast<int>(value), [](int v) {
        return static_cast<short>(static_cast<std::uint16_t>(v));
    });
}

bool CmdArgParser::next(unsigned short& value) {
    return next_through_int(value, static_cast<int>(value),
                            [](int v) { return static_cast<unsigned short>(v); });
}

// char is unsigned on the board; read it so on the host too.
bool CmdArgParser::next(char& value) {
    return next_through_int(value, static_cast<int>(static_cast<unsigned char>(value)),
                            [](int v) { return static_cast<char>(static_cast<unsigned char>(v)); });
}

bool CmdArgParser::next(unsigned char& value) {
    return next_through_int(value, static_cast<int>(value),
                            [](int v) { return static_cast<unsigned char>(v); });
}

bool CmdArgParser::next(float& value) {
    std::string text;
    if (!next_str(text)) {
        return false;
    }
    std::istringstream in(text, std::ios_base::in);
    in.flags(std::ios_base::scientific);
    in >> value;
    return !in.fail();
}

bool CmdArgParser::next(double& value) {
    float local = nearest_float(value);
    const bool converted = next(local);
    value = static_cast<double>(local);
    return converted;
}

}  // namespace zor::util
