// SPDX-License-Identifier: MIT
// A program that tries, on purpose, to leave rtsim's isolation, one way a
// mode; it says what each try gave, and exits with the number of tries that
// reached a node only the machine's /dev has (/dev/zero): 0 when contained.
// It never opens a device to read or write it.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <linux/sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static const char machine_only[] = "/dev/zero";

static int said(const char* what, long result) {
    printf("%s: %s\n", what, result < 0 ? strerror(errno) : "reached");
    return result >= 0;
}

static int seen(void) {
    return said("access", access(machine_only, F_OK));
}

// The child of clone(flags), untraced under proot if the call is let through.
static int cloned(const char* what, long pid) {
    if (pid == 0)
        _exit(seen());
    int status = 0;
    if (said(what, pid))
        waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

// The run's folder as its ancestors' command lines name it (never another
// run's): its dev, or root/dev, replaced by a link to the machine's /dev;
// then /dev/null and /dev/full removed, which must not be the machine's.
static int rewired(void) {
    int done = 0;
    for (pid_t pid = getppid(); pid > 0;) {
        char path[64], args[8192], folder[4096], *name;
        snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
        FILE* f = fopen(path, "r");
        size_t length = f ? fread(args, 1, sizeof args - 1, f) : 0;
        args[length] = '\0';
        for (char* arg = args; arg < args + length; arg += strlen(arg) + 1)
            for (name = strstr(arg, "/rtsim-"); name; name = strstr(name + 1, "/rtsim-")) {
                int end = (int)(name - arg) + 1 + (int)strcspn(name + 1, "/:");
                snprintf(folder, sizeof folder, "%.*s", end, arg);
                for (int dev = 0; dev < 2; dev++) {
                    char from[4200], to[4210];
                    snprintf(from, sizeof from, "%s%s", folder, dev ? "/root/dev" : "/dev");
                    snprintf(to, sizeof to, "%s.old", from);
                    done += said(from, rename(from, to) == 0 ? symlink("/dev", from) : -1);
                }
            }
        if (f)
            fclose(f);
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        f = fopen(path, "r");
        if (!f || fscanf(f, "%*d (%*[^)]) %*c %d", &pid) != 1)
            pid = 0;
        if (f)
            fclose(f);
    }
    said("unlink /dev/null", unlink("/dev/null"));
    said("unlink /dev/full", unlink("/dev/full"));
    return done + seen();
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    setvbuf(stdout, NULL, _IONBF, 0);  // clone children exit without flushing
    if (strcmp(mode, "look") == 0) {
        struct open_how how = {.flags = O_PATH};
        struct stat st;
        struct statx stx;
        return said("stat", stat(machine_only, &st)) +
               said("statx",
                    syscall(SYS_statx, AT_FDCWD, machine_only, 0, STATX_BASIC_STATS, &stx)) +
               said("openat2", syscall(SYS_openat2, AT_FDCWD, machine_only, &how, sizeof how)) +
               said("faccessat2", syscall(SYS_faccessat2, AT_FDCWD, machine_only, F_OK, 0));
    }
    if (strcmp(mode, "untraced") == 0) {
        struct clone_args args = {.flags = CLONE_UNTRACED, .exit_signal = SIGCHLD};
        return cloned("clone", syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0, 0, 0, 0)) +
               cloned("clone3", syscall(SYS_clone3, &args, sizeof args));
    }
    if (strcmp(mode, "keeper") == 0) {  // a child left running, then its parent killed
        if (fork() == 0)
            for (;;)
                pause();
        said("kill", kill(getppid(), SIGKILL));
        sleep(1);
        return 0;
    }
    if (strcmp(mode, "uring") == 0) {  // its calls would go untraced
        char params[120] = {0};
        return said("io_uring_setup", syscall(SYS_io_uring_setup, 1, params));
    }
    if (strcmp(mode, "umount") == 0)
        return said("umount", umount2("/dev", MNT_DETACH)) + seen();
    if (strcmp(mode, "ptrace") == 0)
        return said("ptrace", ptrace(PTRACE_ATTACH, 1, 0, 0));
    if (strcmp(mode, "rewire") == 0)
        return rewired();
    fprintf(stderr, "usage: hostile look|untraced|keeper|uring|umount|ptrace|rewire\n");
    return 64;
}
