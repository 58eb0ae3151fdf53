# SPDX-License-Identifier: MIT
"""The isolated run: an rtprobe binary, host or PowerPC, started in a private
mount namespace whose /dev/mem is the board image and nothing else."""

import ctypes
import dataclasses
import os
import shutil
import signal
import subprocess
import sys
import tempfile

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


# Runs inside the private mount namespace: a fresh /dev holding only the
# simulated mem (and null and full), then the program, which dies with rtsim
# (set again here, since a kernel may clear the parent-death signal when the
# credentials change). The marker file proves that every step before the
# program succeeded.
_ISOLATE = r"""
set -eu
work=$1; device=$2; shift 2
mount --bind /dev/null "$work/null"
mount --bind /dev/full "$work/full"
mount -t tmpfs -o mode=0755,size=64k rtsim /dev
touch /dev/null /dev/full
mount --bind "$work/null" /dev/null
mount --bind "$work/full" /dev/full
case $device in
  image)      touch /dev/mem
              mount --bind "$work/root/dev/mem" /dev/mem ;;
  missing)    mkdir /dev/mem ;;
  unmappable) mount --bind "$work/null" "$work/root/dev/mem"
              touch /dev/mem
              mount --bind "$work/null" /dev/mem ;;
esac
[ -e "$work/root/dev/mem" ] || { echo "rtsim: $work/root/dev/mem is missing" >&2; exit 125; }
touch "$work/isolated"
exec setpriv --pdeathsig KILL -- "$@"
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


def _die_with_parent():
    """In the child before exec: SIGKILL when rtsim dies, even by SIGKILL."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def _alive(owner):
    """Whether the rtsim run that wrote owner ("PID START") is still running."""
    try:
        with open(owner, encoding="ascii") as f:
            pid, start = f.read().split()
    except (OSError, ValueError):
        return True  # not ours, or not written whole: leave it
    try:
        return _start_time(int(pid)) == start
    except OSError:
        return False


def _start_time(pid):
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        return f.read().rsplit(")", 1)[1].split()[19]


def remove_stale():
    """Removes the temporary folders of rtsim runs that died without cleaning up."""
    folder = tempfile.gettempdir()
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        owner = os.path.join(path, "owner")
        if entry.startswith("rtsim-") and os.path.isfile(owner) \
                and os.stat(path).st_uid == os.getuid() and not _alive(owner):
            shutil.rmtree(path, ignore_errors=True)


class Bench:
    """One simulated board in a private directory, removed on close."""

    def __init__(self, binary, board=None, device="image", sysroot=None, isolation="auto"):
        if device not in DEVICES:
            raise ValueError(f"device must be one of {DEVICES}")
        binary = find_binary(binary)
        self.target, self.byteorder = binary_target(binary)
        self.binary = os.path.abspath(binary)
        if sysroot and self.target != "ppc":
            raise ValueError("--sysroot is for PowerPC binaries only")
        sysroot = sysroot or PPC_SYSROOT
        if self.target == "ppc" and not os.path.isdir(sysroot):
            raise ValueError(f"sysroot {sysroot} is not a directory")
        self.device, self.isolation = device, isolation
        remove_stale()
        self.work = tempfile.mkdtemp(prefix="rtsim-")
        try:
            # Renamed into place whole, so that another run never reads half of it.
            with open(os.path.join(self.work, "owner.new"), "w", encoding="ascii") as f:
                f.write(f"{os.getpid()} {_start_time(os.getpid())}\n")
            os.rename(f.name, os.path.join(self.work, "owner"))
            self._fill(board, sysroot)
        except NoRoom:
            self.close()
            raise IsolationError(f"{tempfile.gettempdir()}: no room for the board image "
                                 f"({IMAGE_PAGES >> 10} KiB); set TMPDIR to a folder with room") \
                from None
        except BaseException:  # an interrupt too: no half-made image is left behind
            self.close()
            raise

    def _fill(self, board, sysroot):
        self.root = os.path.join(self.work, "root")
        self.image = os.path.join(self.root, "dev", "mem")
        os.makedirs(os.path.join(self.root, "dev"))
        for stand_in in ("null", "full"):
            open(os.path.join(self.work, stand_in), "w").close()
        if self.device == "missing":
            os.mkdir(self.image)
        elif self.device == "unmappable":
            open(self.image, "w").close()
        else:
            write_image(self.image, board or Board(), self.byteorder)
        if self.target == "ppc":
            # qemu's PREFIX: the sysroot's libraries beside our dev/mem, and never
            # the sysroot's own dev, from which qemu would reach a device node.
            for entry in os.listdir(sysroot):
                if entry != "dev":
                    os.symlink(os.path.join(os.path.abspath(sysroot), entry),
                               os.path.join(self.root, entry))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def words(self, address, count):
        return read_words(self.image, address, count, self.byteorder)

    def command(self, args, wrapper=(), qemu_options=()):
        """The program's own command line, as run inside the namespace."""
        if self.target == "ppc":
            qemu = shutil.which("qemu-ppc")
            if not qemu:
                raise IsolationError("qemu-ppc is not installed (apt-get install qemu-user)")
            return [*wrapper, qemu, *qemu_options, "-L", self.root, self.binary, *args]
        return [*wrapper, self.binary, *args]

    def run(self, args, wrapper=(), qemu_options=(), timeout=None):
        marker = os.path.join(self.work, "isolated")
        if os.path.exists(marker):
            os.unlink(marker)
        if not os.path.exists(self.image):
            raise IsolationError(f"{self.image} is missing")
        command = self.command(args, wrapper, qemu_options)
        if self.isolation == "proot":
            return self._run_proot(command, timeout)
        # A user namespace as well, also for root: the run then lacks the
        # privileges that opening physical memory or undoing the mounts need.
        unshare = ["unshare", "--mount", "--propagation", "private", "--map-root-user"]
        argv = [*unshare, "sh", "-c", _ISOLATE, "rtsim", self.work, self.device, *command]
        done = self._start(argv, timeout)
        if os.path.exists(marker):
            return Result(done.stdout, done.stderr, done.returncode)
        why = " ".join(done.stderr.decode(errors="replace").split())[:150]
        why = why or f"exit status {done.returncode}"
        cause = next((text for error, text in _NO_NAMESPACE.items() if error in why), None)
        if cause and self.isolation == "auto" and shutil.which("proot"):
            return self._run_proot(command, timeout)
        fix = "; or run under proot (--isolation proot; apt-get install proot)" if cause else ""
        raise IsolationError(f"cannot isolate the run: {cause or why}{fix}")

    def _start(self, argv, timeout):
        return subprocess.run(argv, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)

    def _run_proot(self, command, timeout):
        """The run under proot, with our dev folder, which holds the image as
        mem, shown as /dev: only once a program under the same bindings has
        found there a file of a name only this run knows."""
        if self.device == "unmappable":
            raise IsolationError("cannot isolate the run: --device unmappable needs user "
                                 "namespaces, which are unavailable here")
        dev = os.path.join(self.root, "dev")
        proof = f"rtsim-{os.urandom(8).hex()}"
        open(os.path.join(dev, proof), "w").close()
        proot = ["proot", "-v", "-1", "-b", f"{dev}:/dev", "-b", "/dev/null", "-b", "/dev/full"]
        seen = self._start([*proot, "ls", "/dev"], timeout).stdout.decode(errors="replace")
        os.unlink(os.path.join(dev, proof))
        if proof not in seen.split():
            raise IsolationError("cannot isolate the run: proot does not show the image as "
                                 "/dev/mem here; allow user namespaces")
        # Python between tells a signal as 128+N, where proot would say 255,
        # and, unlike a shell, adds no message of its own.
        status = "import subprocess, sys; s = subprocess.call(sys.argv[1:]); " \
                 "sys.exit(128 - s if s < 0 else s)"
        done = self._start([*proot, sys.executable, "-c", status, *command], timeout)
        return Result(done.stdout, done.stderr, done.returncode)


def run(binary, args, board=None, device="image", sysroot=None, isolation="auto"):
    """Runs `binary args` on a fresh simulated board and returns its result."""
    with Bench(binary, board, device, sysroot, isolation) as bench:
        return bench.run(args)
