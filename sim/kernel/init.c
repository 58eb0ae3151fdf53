// SPDX-License-Identifier: MIT
// PID 1 of a kernel run: runs /rtprobe once for each argument list in /runs
// (its count, then each argument, all ending in a NUL byte), frames each
// run's output and status on the console, then powers the guest off so that
// the host can save the window and read the console.
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
        dprintf(1, "\036rtsim-run\n");
        pid_t child = fork();
        if (child == 0) {
            execv(argv[0], argv);
            perror("init: /rtprobe");
            _exit(127);
        }
        int status;
        waitpid(child, &status, 0);
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        dprintf(1, "\036rtsim-status %d\n", code);
        free(argv);
    }
    tcdrain(1);
    reboot(RB_POWER_OFF);
    return 0;
}
