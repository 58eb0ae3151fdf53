# SPDX-License-Identifier: MIT
"""The isolated run: an rtprobe binary, host or PowerPC, started in a private
mount namespace whose /dev/mem is the board image and nothing else."""

import dataclasses
import os
import shutil
import subprocess
import tempfile

from .board import Board
from .image import read_words, write_image

PPC_SYSROOT = "/usr/powerpc-linux-gnu"
DEVICES = ("image", "missing", "unmappable")


class IsolationError(RuntimeError):
    """A run that could not be kept away from the machine's own /dev/mem."""


@dataclasses.dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int


def binary_target(binary):
    """('host' or 'ppc', byte order) of an rtprobe ELF binary."""
    with open(binary, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        raise ValueError(f"{binary}: not an ELF binary")
    order = {1: "little", 2: "big"}.get(header[5])
    if not order:
        raise ValueError(f"{binary}: not an ELF binary")
    machine = int.from_bytes(header[18:20], order)
    if machine == 20:  # EM_PPC
        return "ppc", order
    if machine == 62:  # EM_X86_64
        return "host", order
    raise ValueError(f"{binary}: unsupported machine {machine}")


# Runs inside the private mount namespace: a fresh /dev holding only the
# simulated mem (and null and full), then the program. The marker file proves that
# every step before the program succeeded.
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
exec "$@"
"""


class Bench:
    """One simulated board in a private directory, removed on close."""

    def __init__(self, binary, board=None, device="image", sysroot=None):
        if device not in DEVICES:
            raise ValueError(f"device must be one of {DEVICES}")
        self.binary = os.path.abspath(binary)
        self.target, self.byteorder = binary_target(self.binary)
        if sysroot and self.target != "ppc":
            raise ValueError("--sysroot is for PowerPC binaries only")
        sysroot = sysroot or PPC_SYSROOT
        if self.target == "ppc" and not os.path.isdir(sysroot):
            raise ValueError(f"sysroot {sysroot} is not a directory")
        self.device = device
        self.work = tempfile.mkdtemp(prefix="rtsim-")
        try:
            self._fill(board, sysroot)
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
                raise IsolationError("qemu-ppc is not installed")
            return [*wrapper, qemu, *qemu_options, "-L", self.root, self.binary, *args]
        return [*wrapper, self.binary, *args]

    def run(self, args, wrapper=(), qemu_options=(), timeout=None):
        marker = os.path.join(self.work, "isolated")
        if os.path.exists(marker):
            os.unlink(marker)
        if not os.path.exists(self.image):
            raise IsolationError(f"{self.image} is missing")
        # A user namespace as well, also for root: the run then lacks the
        # privileges that opening physical memory or undoing the mounts need.
        unshare = ["unshare", "--mount", "--propagation", "private", "--map-root-user"]
        argv = [*unshare, "sh", "-c", _ISOLATE, "rtsim", self.work, self.device,
                *self.command(args, wrapper, qemu_options)]
        done = subprocess.run(argv, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        if not os.path.exists(marker):
            raise IsolationError("could not isolate the run: "
                                 + done.stderr.decode(errors="replace").strip())
        return Result(done.stdout, done.stderr, done.returncode)


def run(binary, args, board=None, device="image", sysroot=None):
    """Runs `binary args` on a fresh simulated board and returns its result."""
    with Bench(binary, board, device, sysroot) as bench:
        return bench.run(args)
