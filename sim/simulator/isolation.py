# SPDX-License-Identifier: MIT
"""The isolated run: an rtprobe binary, host or PowerPC, started in private
namespaces (or under proot) whose /dev/mem is the board image and nothing
else, and ended with rtsim however rtsim ends."""

import contextlib
import ctypes
import dataclasses
import fcntl
import importlib.util
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

from .board import Board
from .image import IMAGE_PAGES, NoRoom, read_words, write_image

PPC_SYSROOT = "/usr/powerpc-linux-gnu"
DEVICES = ("image", "missing", "unmappable")


class IsolationError(RuntimeError):
    """A run that could not be kept away from the machine's own /dev/mem."""


@dataclasses.dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int


# e_machine of the binaries rtsim runs, as either byte order spells it.
MACHINES = {b"\x00\x14": "ppc", b"\x14\x00": "ppc", b"\x3e\x00": "host", b"\x00\x3e": "host"}
# Each target: ELF class (1: 32-bit, 2: 64-bit) and byte order it must have.
TARGETS = {"ppc": (1, "big", "32-bit big-endian PowerPC"), "host": (2, "little", "x86-64")}


def _loaded_end(f, wide, order):
    """The file size the ELF file f needs: its program headers and the end
    of its last loaded segment."""
    number = (lambda data, at, n: int.from_bytes(data[at:at + n], order))
    header = f.read(64)
    phoff, size, count = (number(header, 32, 8), number(header, 54, 2), number(header, 56, 2)) \
        if wide else (number(header, 28, 4), number(header, 42, 2), number(header, 44, 2))
    f.seek(phoff)
    table = f.read(size * count)
    end = phoff + size * count
    for at in range(0, len(table), size or 1):
        if number(table, at, 4) == 1:  # PT_LOAD: its offset and size in the file
            offset, length = (number(table, at + 8, 8), number(table, at + 32, 8)) if wide \
                else (number(table, at + 4, 4), number(table, at + 16, 4))
            end = max(end, offset + length)
    return end


def find_binary(binary):
    """The program to run: a bare name is looked up on PATH, as a shell does."""
    if os.sep not in binary and shutil.which(binary):
        return shutil.which(binary)
    return binary


def binary_target(binary):
    """('host' or 'ppc', byte order) of an rtprobe ELF binary; ValueError, one
    line, for a file that cannot run as one."""
    try:
        with open(binary, "rb") as f:
            header = f.read(20)
            if len(header) < 20 or header[:4] != b"\x7fELF":
                raise ValueError(f"{binary}: not an ELF binary")
            target = MACHINES.get(header[18:20])
            if not target:
                raise ValueError(f"{binary}: not built for x86-64 or PowerPC")
            wide, order, name = TARGETS[target]
            if (header[4], header[5]) != (wide, 2 if order == "big" else 1):
                raise ValueError(f"{binary}: not a {name} binary (wrong class or byte order)")
            f.seek(0)
            size = os.fstat(f.fileno()).st_size
            if _loaded_end(f, wide == 2, order) > size:
                raise ValueError(f"{binary}: truncated ({size} bytes)")
    except OSError as error:
        raise ValueError(f"{binary}: {error.strerror}") from None
    if not os.access(binary, os.X_OK):
        raise ValueError(f"{binary}: not executable (chmod +x {binary})")
    return target, order


# PID 1 of the run's own PID, mount and user namespaces: a fresh /dev holding
# only the simulated mem (and null and full), then the program, run as a
# child: when PID 1 ends (unshare, its parent, is SIGKILLed when rtsim dies),
# the kernel kills everything left in the namespace. The marker file proves
# that every step before the program succeeded; until then standard error is
# the setup's log, then the program's own.
_ISOLATE = r"""
set -eu
work=$1; device=$2; lock=$3; errors=$4; shift 4
dev=$work/dev
mount --bind /dev/null "$dev/null"
mount --bind /dev/full "$dev/full"
mount -t tmpfs -o mode=0755,size=64k rtsim /dev
touch /dev/null /dev/full
mount --bind "$dev/null" /dev/null
mount --bind "$dev/full" /dev/full
case $device in
  image)      touch /dev/mem
              mount --bind "$dev/mem" /dev/mem ;;
  missing)    mkdir /dev/mem ;;
  unmappable) mount --bind "$dev/null" "$dev/mem"
              touch /dev/mem
              mount --bind "$dev/null" /dev/mem ;;
esac
[ -e "$dev/mem" ] || { echo "rtsim: $dev/mem is missing" >&2; exit 125; }
# This namespace's own /proc, so that the program's PID names it; a kernel
# that refuses one (a container's masked /proc) leaves the machine's.
mount -t proc rtsim /proc 2>/dev/null || true
touch "$work/isolated"
# Every run's folder hidden, this one's too: no program reaches another's image.
mount -t tmpfs -o mode=0555,size=4k rtsim "${work%/*}"
# unshare, outside, holds the folder's lock until the namespace is gone; the
# program's status is PID 1's, without the shell's words ("Segmentation fault").
# It starts without capabilities or the means to regain any: it can neither
# undo these mounts nor trace PID 1, which keeps them all.
eval "exec $lock<&- 2>/dev/null"
(eval 'exec setpriv --no-new-privs --inh-caps=-all --ambient-caps=-all --bounding-set=-all \
    -- "$@"' "$errors")
"""

# Why unshare could not make a user namespace, by its message, and the fix.
_NO_NAMESPACE = {
    "No space left on device": "user namespaces are switched off here "
                               "(sysctl user.max_user_namespaces=10000 allows them)",
    "Operation not permitted": "user namespaces are refused here (a chroot, or a container: "
                               "start it with --security-opt seccomp=unconfined "
                               "--security-opt apparmor=unconfined)",
}
ISOLATIONS = ("auto", "namespace", "proot")
# Each tool a run needs, by isolation, and the Debian package that has it;
# under proot the keeper's filter needs libseccomp's Python module too.
TOOLS = {"namespace": {"unshare": "util-linux", "mount": "mount"},
         "proot": {"proot": "proot", "seccomp": "python3-seccomp"}}
KEEPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keeper.py")


def _missing(isolation):
    """What the isolation lacks and what installs it, in words; "" if nothing."""
    lacking = {tool: package for tool, package in TOOLS[isolation].items()
               if not (importlib.util.find_spec(tool) if tool == "seccomp" else shutil.which(tool))}
    verb = "is" if len(lacking) == 1 else "are"
    return f"{' and '.join(lacking)} {verb} not installed " \
        f"(apt-get install {' '.join(lacking.values())})" if lacking else ""


def chosen(requested):
    """The isolation a run gets when asked for one (auto: the namespace,
    unless its tools are missing and proot is there); IsolationError when
    what it needs is missing."""
    isolation = requested
    if requested == "auto":
        isolation = "proot" if _missing("namespace") and not _missing("proot") else "namespace"
    if _missing(isolation):
        other = {"auto": "; nor is proot (apt-get install proot)",
                 "namespace": "; or run under proot (--isolation proot)"}
        raise IsolationError(f"cannot isolate the run: {_missing(isolation)}"
                             f"{other.get(requested, '')}")
    return isolation


def die_with_parent():
    """In the child before exec: SIGKILL when rtsim dies, even by SIGKILL."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _high(fd):
    """fd moved to 3 or above: a closed standard stream stays closed for the program."""
    if fd > 2:
        return fd
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    os.close(fd)
    return moved


def _hidden(path):
    """Whether path lies under /dev, which every run replaces."""
    return os.path.realpath(path).startswith("/dev/")


def private_folder():
    """The folder of this user's runs in TMPDIR: made for this user alone,
    and refused if anyone else could write it or it is not a folder."""
    path = os.path.join(tempfile.gettempdir(), f"rtsim.{os.getuid()}")
    with contextlib.suppress(FileExistsError):
        os.mkdir(path, 0o700)
    found = os.lstat(path)
    if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.getuid() or found.st_mode & 0o077:
        raise IsolationError(f"{path}: not a folder of this user's alone (mode 0700); "
                             "remove it, or set TMPDIR to another folder")
    return path


def remove_stale(folder):
    """Removes the temporary folders of rtsim runs that have ended: a live
    run holds a lock on its folder, in whatever PID namespace it runs."""
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        if not os.path.isfile(os.path.join(path, "owner")):
            continue
        try:
            fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(path, ignore_errors=True)
        except OSError:
            pass  # locked: its run is alive
        finally:
            os.close(fd)


class Bench:
    """One simulated board in a private directory, removed on close."""

    def __init__(self, binary, board=None, device="image", sysroot=None, isolation="auto"):
        if device not in DEVICES:
            raise ValueError(f"device must be one of {DEVICES}")
        binary = find_binary(binary)
        if _hidden(binary):
            raise ValueError(f"{binary}: under /dev, which the run replaces; copy it elsewhere")
        self.target, self.byteorder = binary_target(binary)
        self.binary = os.path.abspath(binary)
        if sysroot and self.target != "ppc":
            raise ValueError("--sysroot is for PowerPC binaries only")
        self.sysroot = os.path.abspath(sysroot or PPC_SYSROOT)
        if self.target == "ppc" and not os.path.isdir(self.sysroot):
            raise ValueError(f"sysroot {self.sysroot} is not a directory")
        if self.target == "ppc" and os.path.lexists(os.path.join(self.sysroot, "dev")):
            # qemu-ppc looks for every path in the sysroot first: /dev/mem too.
            raise ValueError(f"sysroot {self.sysroot} holds a dev, which qemu-ppc would take "
                             "for /dev; name one without")
        self.device, self.isolation = device, isolation
        if _hidden(tempfile.gettempdir()):
            raise IsolationError(f"TMPDIR {tempfile.gettempdir()} is under /dev, which the run "
                                 "replaces; set TMPDIR to another folder")
        self.folder = private_folder()
        remove_stale(self.folder)
        self.work, self.lock = tempfile.mkdtemp(prefix="rtsim-", dir=self.folder), None
        try:
            # Held while this run lives; the marker says the folder is locked.
            self.lock = _high(os.open(self.work, os.O_RDONLY | os.O_DIRECTORY))
            fcntl.flock(self.lock, fcntl.LOCK_EX)
            open(os.path.join(self.work, "owner"), "w").close()
            self._fill(board)
        except NoRoom:
            self.close()
            raise IsolationError(f"{tempfile.gettempdir()}: no room for the board image "
                                 f"({IMAGE_PAGES >> 10} KiB); set TMPDIR to a folder with room") \
                from None
        except BaseException:  # an interrupt too: no half-made image is left behind
            self.close()
            raise

    def _fill(self, board):
        # dev: what the run shows as /dev, with stand-ins for null and full
        # made here, so that neither proot nor the namespace makes or removes any.
        self.dev = os.path.join(self.work, "dev")
        self.image = os.path.join(self.dev, "mem")
        os.makedirs(os.path.join(self.work, "empty"), 0o555)
        os.mkdir(self.dev)
        for stand_in in ("null", "full"):
            open(os.path.join(self.dev, stand_in), "w").close()
        if self.device == "missing":
            os.mkdir(self.image)
        elif self.device == "unmappable":
            os.mkfifo(self.image)  # opens for reading and writing, and mmap refuses it
        else:
            write_image(self.image, board or Board(), self.byteorder)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Removes the run's folder through the descriptor held, never by a
        path or link the program could have redirected."""
        if self.lock is not None:
            for entry in os.listdir(self.lock):
                with contextlib.suppress(OSError):
                    if stat.S_ISDIR(os.lstat(entry, dir_fd=self.lock).st_mode):
                        shutil.rmtree(entry, dir_fd=self.lock)
                    else:
                        os.unlink(entry, dir_fd=self.lock)
            os.close(self.lock)
            self.lock = None
        with contextlib.suppress(OSError):
            os.rmdir(self.work)

    def words(self, address, count):
        return read_words(self.image, address, count, self.byteorder)

    def command(self, args, wrapper=(), qemu_options=()):
        """The program's own command line, as run inside the isolation."""
        if self.target == "ppc":
            qemu = shutil.which("qemu-ppc")
            if not qemu:
                raise IsolationError("qemu-ppc is not installed (apt-get install qemu-user)")
            return [*wrapper, qemu, *qemu_options, "-L", self.sysroot, self.binary, *args]
        return [*wrapper, self.binary, *args]

    def run(self, args, wrapper=(), qemu_options=(), timeout=None, through=False):
        """The program's Result; with through, its output goes straight to
        rtsim's own standard output and error as it comes, and the Result
        holds none of it."""
        marker = os.path.join(self.work, "isolated")
        if os.path.exists(marker):
            os.unlink(marker)
        if not os.path.exists(self.image):
            raise IsolationError(f"{self.image} is missing")
        isolation = chosen(self.isolation)
        command = self.command(args, wrapper, qemu_options)
        if isolation == "proot":
            return self._run_proot(command, timeout, through)
        # A user namespace as well, also for root: the run then lacks the
        # privileges that opening physical memory or undoing the mounts need.
        unshare = ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private",
                   "--pid", "--fork", "--kill-child"]
        with self._streams(through) as (stdout, stderr):
            try:
                extra = _high(os.dup(2 if stderr is None else stderr))
                errors = f"2>&{extra} {extra}>&-"
            except OSError:  # rtsim's own standard error is closed: so is the program's
                extra, errors = None, "2>&-"
            setup = os.path.join(self.work, "setup")
            try:
                with open(setup, "wb") as log:
                    argv = [*unshare, "sh", "-c", _ISOLATE, "rtsim", self.work, self.device,
                            str(self.lock), errors, *command]
                    status = self._start(argv, timeout, stdout, log, (self.lock, extra))
            finally:
                if extra:
                    os.close(extra)
            if os.path.exists(marker):
                return self._result(status, through)
        why = " ".join(_content(setup).decode(errors="replace").split())[:150]
        why = why or f"exit status {status}"
        cause = next((text for error, text in _NO_NAMESPACE.items() if error in why), None)
        if cause and self.isolation == "auto" and not _missing("proot"):
            return self._run_proot(command, timeout, through)
        fix = "; or run under proot (--isolation proot; apt-get install proot)" if cause else ""
        raise IsolationError(f"cannot isolate the run: {cause or why}{fix}")

    @contextlib.contextmanager
    def _streams(self, through):
        """The program's standard output and error: None for rtsim's own, or
        files in the run's folder, read into the Result."""
        if through:
            yield None, None
            return
        with open(os.path.join(self.work, "stdout"), "wb") as out, \
                open(os.path.join(self.work, "stderr"), "wb") as err:
            yield out.fileno(), err.fileno()

    def _result(self, status, through):
        if through:
            return Result(b"", b"", status)
        return Result(*(_content(os.path.join(self.work, name)) for name in ("stdout", "stderr")),
                      status)

    @staticmethod
    def _start(argv, timeout, stdout, stderr, keep, end=None, wait=subprocess.Popen.wait):
        """Runs argv and waits for it (by wait(process, timeout)); however
        rtsim leaves the wait (an interrupt, a timeout), the run is ended
        first: by end(process), or by SIGKILL, which the namespace's PID 1
        passes on to all."""
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                   pass_fds=[fd for fd in keep if fd],
                                   preexec_fn=None if end else die_with_parent)
        try:
            return wait(process, timeout)
        finally:
            if process.returncode is None:
                (end or subprocess.Popen.kill)(process)
                process.wait()

    def _run_proot(self, command, timeout, through):
        """The run under proot, with our dev folder, which holds the image as
        mem, shown as /dev: only once a program under the same bindings has
        found there a file of a name only this run knows. The folder of
        every run is shown empty, so that no program can move or replace
        what proot shows as /dev, and the machine's null and full are shown
        only to a program that cannot remove them: not to root, which owns
        the machine's /dev, and gets nodes of rtsim's own (or plain files)."""
        proof = f"rtsim-{os.urandom(8).hex()}"
        open(os.path.join(self.dev, proof), "w").close()
        proot = ["proot", "-v", "-1", "-b", f"{self.dev}:/dev",
                 "-b", f"{os.path.join(self.work, 'empty')}:{self.folder}"]
        if os.geteuid() != 0:
            proot += ["-b", "/dev/null", "-b", "/dev/full"]
        else:
            for name, minor in (("null", 3), ("full", 7)):
                path = os.path.join(self.dev, name)
                with contextlib.suppress(FileNotFoundError):  # the program's to remove
                    os.unlink(path)
                try:
                    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
                except OSError:  # a container's root, which cannot make nodes
                    open(path, "w").close()
        with open(os.path.join(self.work, "seen"), "wb") as seen:
            self._kept(proot, ["ls", "/dev"], timeout, seen.fileno(), subprocess.DEVNULL)
        os.unlink(os.path.join(self.dev, proof))
        if proof not in _content(seen.name).decode(errors="replace").split():
            raise IsolationError("cannot isolate the run: proot does not show the image as "
                                 "/dev/mem here; allow user namespaces")
        with self._streams(through) as (stdout, stderr):
            status = self._kept(proot, command, timeout, stdout, stderr)
        return self._result(status, through)

    def _kept(self, proot, command, timeout, stdout, stderr):
        """command under proot and the keeper, which ends it and all it
        started when the lifeline's write end, held by rtsim alone, closes."""
        lifeline, held = (_high(fd) for fd in os.pipe())
        held = os.fdopen(held, "wb")
        keeper = [sys.executable, "-I", KEEPER, str(lifeline), str(self.lock)]
        def end(process):
            held.close()
            try:
                process.wait(1)
            except subprocess.TimeoutExpired:
                _sweep(process)
        try:
            return self._start([*proot, *keeper, *command], timeout, stdout, stderr,
                               (lifeline, self.lock), end=end, wait=_wait_kept)
        finally:
            os.close(lifeline)
            held.close()


def _wait_kept(process, timeout):
    """proot's status. Should its one child, the keeper, be gone while proot
    still traces what the program started (the program may kill it), those
    are ended at once, while still traced."""
    end = None if timeout is None else time.monotonic() + timeout
    kept = False
    while True:
        try:
            return process.wait(0.1)
        except subprocess.TimeoutExpired:
            if end is not None and time.monotonic() > end:
                raise
        try:
            with open(f"/proc/{process.pid}/task/{process.pid}/children", "rb") as f:
                keeper = bool(f.read().split())
        except OSError:
            continue
        if kept and not keeper:
            _sweep(process)
        kept = kept or keeper


def _sweep(process):
    """SIGKILLs what proot still traces: with the keeper gone, nothing else will."""
    for pid in _traced_by(process.pid):
        _kill(pid)


def _traced_by(tracer):
    """The PIDs of the processes that tracer traces."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/status", encoding="ascii", errors="replace") as f:
                traced = f"TracerPid:\t{tracer}\n" in f.read()
        except OSError:
            continue
        if traced:
            found.append(int(entry))
    return found


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run(binary, args, board=None, device="image", sysroot=None, isolation="auto",
        through=False):
    """Runs `binary args` on a fresh simulated board and returns its result."""
    with Bench(binary, board, device, sysroot, isolation) as bench:
        return bench.run(args, through=through)


def _content(path):
    with open(path, "rb") as f:
        return f.read()
