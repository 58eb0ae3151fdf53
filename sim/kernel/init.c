// SPDX-License-Identifier: MIT
// PID 1 of a kernel run: runs /rtprobe once for each argument list in /runs
// (its count, then each argument, all ending in a NUL byte), then powers the
// guest off so that the host can save the window and read the console.
//
// The program's standard output and error go into one pipe, never to the
// console: init alone writes there, in frames the program cannot forge or
// cut short, whatever bytes it prints. What it printed comes in chunks, each
// "\036rtsim-out N\n" and the N bytes as read, as soon as they are read (so
// that a run stopped by the host's time limit keeps its output so far); then
// "\036rtsim-status S\n", S being the exit status or minus the signal.
#define _GNU_SOURCE  // pipe2
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static char runs[4 << 20];

static void write_all(const char* data, size_t size) {
    while (size > 0) {
        ssize_t done = write(1, data, size);
        if (done <= 0)
            return;  // the console is gone: the host says the runs did not report
        data += done;
        size -= done;
    }
}

// Runs argv, passes its output on in chunks; its status.
static int run(char** argv) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return 125;
    pid_t child = fork();
    if (child == 0) {
        int none = open("/dev/null", O_RDONLY);
        dup2(none >= 0 ? none : output[0], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        execv(argv[0], argv);
        perror("init: /rtprobe");
        _exit(127);
    }
    close(output[1]);
    char chunk[4096];
    char header[32];
    ssize_t got;
    while ((got = read(output[0], chunk, sizeof chunk)) > 0) {
        write_all(header, snprintf(header, sizeof header, "\036rtsim-out %zd\n", got));
        write_all(chunk, got);
    }
    close(output[0]);
    int status;
    if (child < 0 || waitpid(child, &status, 0) < 0)
        return 125;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

int main(void) {
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    int console = open("/dev/console", O_RDWR);
    for (int fd = 0; fd < 3; fd++)
        dup2(console, fd);
    // Output byte for byte: no carriage return added before each newline.
    struct termios mode;
    tcgetattr(1, &mode);
    mode.c_oflag &= ~OPOST;
    tcsetattr(1, TCSANOW, &mode);

    int file = open("/runs", O_RDONLY);
    size_t size = 0;
    ssize_t got;
    while ((got = read(file, runs + size, sizeof runs - size)) > 0)
        size += got;
    char* next = runs;
    while (next < runs + size) {
        int count = atoi(next);
        next += strlen(next) + 1;
        char** argv = calloc(count + 2, sizeof *argv);
        argv[0] = "/rtprobe";
        for (int i = 1; i <= count; i++) {
            argv[i] = next;
            next += strlen(next) + 1;
        }
        char footer[32];
        write_all(footer, snprintf(footer, sizeof footer, "\036rtsim-status %d\n", run(argv)));
        free(argv);
    }
    tcdrain(1);
    reboot(RB_POWER_OFF);
    return 0;
}
