// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/cli.h"
#include "fpga/FPGAMap.h"
#include "util/CmdArgParser.h"

int main(int argc, char** argv) {
    int status = 0;
    try {
        zor::util::CmdArgParser parser(argc, argv);
        status = run_command(decide_command(parser));
    } catch (const MapFailed&) {
        // The window has already said "ERROR : Failed to mmap".
        return EXIT_FAILURE;
    } catch (const std::bad_alloc&) {
        // Caught so that the stack unwinds: an open window is unmapped and
        // closed on the way here, and nothing lands on standard error.
        return EXIT_FAILURE;
    }
    // A report that could not be written in full (closed or full standard
    // output) must not pass for a good one in a script.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        return status == 0 ? EXIT_FAILURE : status;
    }
    return status;
}
