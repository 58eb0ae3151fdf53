# SPDX-License-Identifier: MIT
"""The first process under proot: runs the program and outlives everything it
started. proot stays alive, tracing, until every process it traces is gone;
if proot died first the rest would go on untraced, seeing the machine's own
/dev. So nothing here ever ends proot: when rtsim ends, however it ends, the
lifeline pipe it holds reads end of file and this process SIGKILLs, as their
child reaper, the program and all it started, while proot still traces them.

Usage: python3 -I keeper.py LIFELINE LOCK PROGRAM [ARGUMENT...]; exits
with the program's status, 128+N for a signal N."""

import ctypes
import errno
import os
import select
import signal
import sys

import seccomp

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
CLONE_UNTRACED = 0x00800000


def _refuse_untraced_calls():
    """The calls proot does not translate, refused for the program and all
    it starts. statx, openat2 and faccessat2 take a path proot passes on as
    it stands: ENOSYS, on which the C library (and qemu-ppc) use the older
    calls, which proot translates. A child made with CLONE_UNTRACED (or by
    clone3, whose flags the filter cannot read; glibc then uses clone) and
    io_uring's calls would run untraced. The filter is for the machine's own
    call table: qemu-ppc's host calls are what proot sees, and calls of any
    other table (i386's int 0x80) kill the caller; on x86-64, x32's too
    passes it, as proot cancels a call by numbering it -1, a number of x32's."""
    calls = seccomp.SyscallFilter(seccomp.ALLOW)
    if os.uname().machine == "x86_64":
        calls.add_arch(seccomp.Arch.X32)
    for name in ("statx", "openat2", "faccessat2", "clone3"):
        calls.add_rule(seccomp.ERRNO(errno.ENOSYS), name)
    calls.add_rule(seccomp.ERRNO(errno.EPERM), "clone",
                   seccomp.Arg(0, seccomp.MASKED_EQ, CLONE_UNTRACED, CLONE_UNTRACED))
    calls.add_rule(seccomp.ERRNO(errno.EPERM), "io_uring_setup")
    calls.load()


def _children():
    """The PIDs whose parent is this process."""
    mine, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == mine:
            found.append(int(entry))
    return found


def _end_all():
    """SIGKILLs every descendant: orphans come to this process, so the
    loop ends only when none is left."""
    while True:
        for pid in _children():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def _status(wait):
    return 128 + os.WTERMSIG(wait) if os.WIFSIGNALED(wait) else os.WEXITSTATUS(wait)


def main(lifeline, lock, command):
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1)
    # Ctrl-C and kill reach the program; this process stays to clean up.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(signum, lambda *_: None)
    os.close(lock)  # proot, above, holds the run's folder for its whole life
    if select.select([lifeline], [], [], 0)[0]:
        return 125  # rtsim has gone already
    pid = os.fork()
    if pid == 0:
        os.close(lifeline)
        for ignored in (signal.SIGPIPE, signal.SIGXFSZ):  # Python ignores them; a shell, neither
            signal.signal(ignored, signal.SIG_DFL)
        # A group of its own: a kill(0, ...) of the program's cannot end this
        # process and proot with it, which would leave what it started untraced.
        os.setpgid(0, 0)
        # Killing this process, whose end would leave proot's other tracees to
        # rtsim alone, takes the program with it.
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.geteuid() == 0:
            # Root under proot keeps its privileges: without any, the program
            # can neither make a device node nor open physical memory, even
            # were it to leave proot.
            command = ["setpriv", "--no-new-privs", "--inh-caps=-all", "--ambient-caps=-all",
                       "--bounding-set=-all", "--", *command]
        try:
            _refuse_untraced_calls()
        except (OSError, RuntimeError, ValueError) as error:
            os.write(2, f"rtsim: cannot filter the program's calls: {error}\n".encode())
            os._exit(125)
        try:
            os.execvp(command[0], command)
        except OSError as error:
            os.write(2, f"rtsim: {command[0]}: {error.strerror}\n".encode())
            os._exit(125)
    program = os.pidfd_open(pid)
    while not select.select([lifeline, program], [], [])[0]:
        pass
    if select.select([lifeline], [], [], 0)[0]:
        _end_all()  # rtsim has gone: so do the program and all it started
        return 125
    status = _status(os.waitpid(pid, 0)[1])
    _end_all()
    return status


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]))
