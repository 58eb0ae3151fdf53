#include "app/cli.h"
#include "fpga/FPGAMap.h"
#include "util/CmdArgParser.h"

#include <cstdlib>

int main(int argc, char** argv) {
    zor::util::CmdArgParser parser(argc, argv);
    try {
        return run_command(decide_command(parser));
    } catch (const MapFailed&) {
        // The window has already said "ERROR : Failed to mmap".
        return EXIT_FAILURE;
    }
}
