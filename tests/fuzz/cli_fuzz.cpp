// SPDX-License-Identifier: MIT
// Fuzz target over the command line: the argument parser and the option
// decision, never the commands themselves (nothing here maps a device). The
// input is the argument list after the program name, each argument ended by
// a NUL byte as in a process's argv block (the last one needs none). What the
// rules give for a command line is for the case tables to say; this checks
// what must hold for every command line, under the sanitizers.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli.h"
#include "util/CmdArgParser.h"

namespace {

using zor::util::CmdArgParser;

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "cli_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    char program[] = "rtprobe";
    std::vector<char*> argv{program};
    for (std::size_t at = 0; size > 0 && at <= size;
         at = std::min(block.find('\0', at), size) + 1) {
        argv.push_back(&block[at]);
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    CmdArgParser parser(argc, argv.data());

    // A command is plain data without padding, so its bytes compare it whole.
    const command first = decide_command(parser);
    const command again = decide_command(parser);
    require(std::memcmp(&first, &again, sizeof first) == 0, "another decision when asked again");

    // Each argument is found; the values after it, taken as wide integers and
    // as doubles in turn, run out before the command line does.
    for (int i = 1; i < argc && i <= 8; ++i) {
        require(parser.find(argv[i]), "an argument was not found");
        for (int step = 0; step < argc; ++step) {
            unsigned long number = 0;
            double real = 0;
            (void)((size + i + step) % 2 == 0 ? parser.next(number) : parser.next(real));
        }
        std::string rest;
        require(!parser.next_str(rest), "the values never ran out");
    }
    return 0;
}
