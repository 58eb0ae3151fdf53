#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""rtsim: a simulated board for rtprobe.

rtprobe reaches the FPGA through /dev/mem. rtsim writes a sparse image of the
board's physical memory (the register page at 0xF0000000, the RX table at
0xF0010000, words in the byte order of the binary under test) and runs an
rtprobe binary with that image as its /dev/mem, in a private mount namespace
where the machine's own /dev/mem cannot be reached. PowerPC binaries run under
qemu-ppc, which finds the image at PREFIX/dev/mem as well.

A board description is plain text, one setting a line, '#' starts a comment:

    tx_status      0x00200020     # a named status register
    reg 0x240      0x00200020     # a register by its offset in the page
    rx  3          0x00201ABC     # an RX table entry by index, raw
    route 4 DSP1>L7 17            # entry 4 routes VE channel 17 to a node

Registers: far_loopback, near_loopback, clock_status, tx_status, rx_status.
Nodes: DSP0>L5 DSP0>L4 DSP1>L7 DSP1>L6 DSP2>L1 DSP2>L0 DSP3>L3 DSP3>L2
SMAC>L8 HMAC0>L10 I/O>L12 Mezz>L14 HMAC1>L16 (or their ids 0 to 12).
"""

import argparse
import dataclasses
import os
import shutil
import subprocess
import sys
import tempfile

IMAGE_SIZE = 0xF0018000
FPGA_BASE = 0xF0000000
REGISTER_PAGE = 0x1000
RX_TABLE = 0xF0010000
RX_ENTRIES = 8192
PPC_SYSROOT = "/usr/powerpc-linux-gnu"

REGISTERS = {
    "far_loopback": 0x34,
    "near_loopback": 0x38,
    "clock_status": 0x220,
    "tx_status": 0x240,
    "rx_status": 0x244,
}

# Destination-link bit of each node in an RX entry, by node id.
NODES = [
    ("DSP0>L5", 0x200000), ("DSP0>L4", 0x100000), ("DSP1>L7", 0x800000),
    ("DSP1>L6", 0x400000), ("DSP2>L1", 0x20000), ("DSP2>L0", 0x10000),
    ("DSP3>L3", 0x80000), ("DSP3>L2", 0x40000), ("SMAC>L8", 0x1000000),
    ("HMAC0>L10", 0x4000000), ("I/O>L12", 0x10000000), ("Mezz>L14", 0x40000000),
    ("HMAC1>L16", 0x4000),
]

DEVICES = ("image", "missing", "unmappable")


class DescriptionError(ValueError):
    """A board description line that cannot be read."""


class IsolationError(RuntimeError):
    """A run that could not be kept away from the machine's own /dev/mem."""


@dataclasses.dataclass
class Board:
    """Register words by offset from 0xF0000000, RX entries by index."""

    regs: dict = dataclasses.field(default_factory=dict)
    rx: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Result:
    stdout: bytes
    stderr: bytes
    status: int


def _number(text, what, low, high):
    try:
        value = int(text, 0)
    except ValueError:
        raise DescriptionError(f"{what} '{text}' is not a number") from None
    if not low <= value <= high:
        raise DescriptionError(f"{what} {text} is outside {low:#x}..{high:#x}")
    return value


def _node_bit(text):
    for node_id, (name, bit) in enumerate(NODES):
        if text in (name, str(node_id)):
            return bit
    raise DescriptionError(f"unknown node '{text}'")


def _apply(board, words):
    key = words[0]
    word = lambda text: _number(text, "value", 0, 0xFFFFFFFF)
    if key in REGISTERS and len(words) == 2:
        board.regs[REGISTERS[key]] = word(words[1])
    elif key == "reg" and len(words) == 3:
        offset = _number(words[1], "register offset", 0, REGISTER_PAGE - 4)
        if offset % 4:
            raise DescriptionError(f"register offset {words[1]} is not a multiple of 4")
        board.regs[offset] = word(words[2])
    elif key == "rx" and len(words) == 3:
        board.rx[_number(words[1], "RX index", 0, RX_ENTRIES - 1)] = word(words[2])
    elif key == "route" and len(words) == 4:
        index = _number(words[1], "RX index", 0, RX_ENTRIES - 1)
        channel = _number(words[3], "channel", 0, 0x1FFF)
        board.rx[index] = _node_bit(words[2]) | channel
    else:
        raise DescriptionError(f"cannot read '{' '.join(words)}'")


def parse_board(text, name="<board>"):
    """Reads a board description; errors name the file and line."""
    board = Board()
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        try:
            _apply(board, words)
        except DescriptionError as error:
            raise DescriptionError(f"{name}:{number}: {error}") from None
    return board


def load_board(path):
    with open(path, encoding="utf-8") as f:
        return parse_board(f.read(), path)


def binary_target(binary):
    """('host' or 'ppc', byte order) of an rtprobe ELF binary."""
    with open(binary, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        raise ValueError(f"{binary}: not an ELF binary")
    order = {1: "little", 2: "big"}[header[5]]
    machine = int.from_bytes(header[18:20], order)
    if machine == 20:  # EM_PPC
        return "ppc", order
    if machine == 62:  # EM_X86_64
        return "host", order
    raise ValueError(f"{binary}: unsupported machine {machine}")


def write_image(path, board, byteorder):
    """A sparse image of physical memory up to the end of the RX table."""
    with open(path, "wb") as f:
        f.truncate(IMAGE_SIZE)
        for offset, value in sorted(board.regs.items()):
            f.seek(FPGA_BASE + offset)
            f.write(value.to_bytes(4, byteorder))
        for index, value in sorted(board.rx.items()):
            f.seek(RX_TABLE + 4 * index)
            f.write(value.to_bytes(4, byteorder))


def read_words(path, address, count, byteorder):
    with open(path, "rb") as f:
        f.seek(address)
        data = f.read(4 * count)
    return [int.from_bytes(data[i:i + 4], byteorder) for i in range(0, len(data), 4)]


def data_extents(path):
    """The (start, end) ranges of an image that hold data, holes left out."""
    extents = []
    with open(path, "rb") as f:
        fd, end, pos = f.fileno(), os.fstat(f.fileno()).st_size, 0
        while pos < end:
            try:
                start = os.lseek(fd, pos, os.SEEK_DATA)
            except OSError:
                break
            pos = os.lseek(fd, start, os.SEEK_HOLE)
            extents.append((start, pos))
    return extents


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

    def __init__(self, binary, board=None, device="image"):
        if device not in DEVICES:
            raise ValueError(f"device must be one of {DEVICES}")
        self.binary = os.path.abspath(binary)
        self.target, self.byteorder = binary_target(self.binary)
        self.device = device
        self.work = tempfile.mkdtemp(prefix="rtsim-")
        self.root = os.path.join(self.work, "root")
        self.image = os.path.join(self.root, "dev", "mem")
        os.makedirs(os.path.join(self.root, "dev"))
        for stand_in in ("null", "full"):
            open(os.path.join(self.work, stand_in), "w").close()
        if device == "missing":
            os.mkdir(self.image)
        elif device == "unmappable":
            open(self.image, "w").close()
        else:
            write_image(self.image, board or Board(), self.byteorder)
        if self.target == "ppc":
            os.symlink(os.path.join(PPC_SYSROOT, "lib"), os.path.join(self.root, "lib"))

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

    def run(self, args, wrapper=(), qemu_options=(), timeout=120):
        marker = os.path.join(self.work, "isolated")
        if os.path.exists(marker):
            os.unlink(marker)
        if not os.path.exists(self.image):
            raise IsolationError(f"{self.image} is missing")
        unshare = ["unshare", "--mount", "--propagation", "private"]
        if os.geteuid() != 0:
            unshare.append("--map-root-user")
        argv = [*unshare, "sh", "-c", _ISOLATE, "rtsim", self.work, self.device,
                *self.command(args, wrapper, qemu_options)]
        done = subprocess.run(argv, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        if not os.path.exists(marker):
            raise IsolationError("could not isolate the run: "
                                 + done.stderr.decode(errors="replace").strip())
        return Result(done.stdout, done.stderr, done.returncode)


def run(binary, args, board=None, device="image"):
    """Runs `binary args` on a fresh simulated board and returns its result."""
    with Bench(binary, board, device) as bench:
        return bench.run(args)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="rtsim", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    image = commands.add_parser("image", help="write a board image from a description")
    image.add_argument("description")
    image.add_argument("-o", "--output", required=True)
    image.add_argument("--byte-order", choices=("big", "little"), default="big",
                       help="big for the PowerPC board (default), little for an x86-64 build")
    runner = commands.add_parser("run", help="run rtprobe on a simulated board")
    runner.add_argument("--board", help="board description (default: every word 0)")
    runner.add_argument("--device", choices=DEVICES, default="image",
                        help="what stands at /dev/mem (default: the board image)")
    runner.add_argument("binary", help="an rtprobe binary, host or PowerPC")
    runner.add_argument("args", nargs=argparse.REMAINDER, help="rtprobe's arguments")
    options = parser.parse_args(argv)

    try:
        if options.command == "image":
            write_image(options.output, load_board(options.description), options.byte_order)
            return 0
        board = load_board(options.board) if options.board else Board()
        result = run(options.binary, options.args, board, options.device)
    except (DescriptionError, IsolationError, OSError, ValueError) as error:
        print(f"rtsim: {error}", file=sys.stderr)
        return 2
    sys.stdout.buffer.write(result.stdout)
    sys.stderr.buffer.write(result.stderr)
    return result.status


if __name__ == "__main__":
    sys.exit(main())
