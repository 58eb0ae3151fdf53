// SPDX-License-Identifier: MIT
// Fuzz target over the command line: the argument parser and the option
// decision, never the commands themselves (nothing here maps a device). The
// input is the argument list after the program name, each argument ended by
// a NUL byte as in a process's argv block (the last one needs none). What the
// rules give for a command line is for the case tables to say; this checks
// what must hold for every command line, under the sanitizers.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli.h"
#include "util/CmdArgParser.h"

static void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "cli_fuzz: %s\n", what);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An argument starts at the first byte and after each NUL; the string
    // adds the NUL that ends the last one.
    const std::string block(reinterpret_cast<const char*>(data), size);
    std::vector<const char*> argv{"rtprobe"};
    if (size > 0) {
        argv.push_back(block.c_str());
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (block[i] == '\0') {
            argv.push_back(&block[i + 1]);
        }
    }
    zor::util::CmdArgParser parser(static_cast<int>(argv.size()), argv.data());

    // A command is plain data without padding, so its bytes compare it whole.
    const command first = decide_command(parser);
    const command again = decide_command(parser);
    require(std::memcmp(&first, &again, sizeof first) == 0, "a second decision differs");

    // Each argument is found; the values after it, taken as integers and as
    // reals in turn, run out before the command line does.
    for (std::size_t i = 1; i < argv.size() && i <= 8; ++i) {
        require(parser.find(argv[i]), "an argument not found");
        for (std::size_t step = 0; step < argv.size(); ++step) {
            if (step % 2 == 0) {
                unsigned long number = 0;
                parser.next(number);
            } else {
                double real = 0;
                parser.next(real);
            }
        }
        std::string rest;
        require(!parser.next_str(rest), "the values never ran out");
    }
    return 0;
}
