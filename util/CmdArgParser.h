// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace zor::util {

// Holds a command line and hands out the values that follow an option.
// It never prints, exits or throws on bad input: every outcome is a bool.
class CmdArgParser {
  public:
    CmdArgParser(int argc, const char** argv);
    CmdArgParser(int argc, char** argv);
    ~CmdArgParser();

    CmdArgParser(const CmdArgParser&) = delete;
    CmdArgParser& operator=(const CmdArgParser&) = delete;

    // True when an argument equals `option` exactly; the cursor then stands
    // just after the first such argument. The search always starts at the
    // first argument.
    bool find(const std::string& option);

    // Takes the argument at the cursor unless there is none or it begins
    // with '-'.
    bool next_str(std::string& value);

    // "0x"/"0X" hexadecimal (texts longer than 2 characters) or decimal.
    // The narrower and wider integer overloads go through an int and keep
    // 32-bit semantics on every platform.
    bool next(int& value);
    bool next(unsigned int& value);
    bool next(long& value);
    bool next(unsigned long& value);
    bool next(short& value);
    bool next(unsigned short& value);
    bool next(char& value);
    bool next(unsigned char& value);

    // Decimal floating point; a double carries single precision.
    bool next(float& value);
    bool next(double& value);

  private:
    enum class Taken { nothing, unconverted, converted, failed };
    Taken next_int(int& value);

    template <typename T, typename Back>
    bool next_through_int(T& value, int local, Back back);

    std::string prog_name;
    [[maybe_unused]] int arg_count;  // kept as given; nothing reads it
    std::vector<std::string> args;
    // Until the first successful find it stands at the end, so no value can
    // be taken before an option has been found.
    std::vector<std::string>::const_iterator cursor;
};

}  // namespace zor::util
