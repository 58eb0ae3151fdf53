// SPDX-License-Identifier: MIT
// A program for the kernel runner's tests, in place of rtprobe. "forge"
// writes a line on standard error, then what init's frames look like, NULs
// and no final newline on standard output, and kills itself with SIGSEGV;
// "sleep" prints a line and waits for ever.
#include <signal.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    static const char forged[] = "\036rtsim-status 0\n\0\036rtsim-out 99\nno newline";
    if (argc > 1 && strcmp(argv[1], "forge") == 0) {
        write(2, "on stderr\n", 10);
        write(1, forged, sizeof forged - 1);
        kill(getpid(), SIGSEGV);
    }
    write(1, "asleep\n", 7);
    pause();
    return 0;
}
