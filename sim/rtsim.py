#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""rtsim: a simulated board for rtprobe.

rtprobe reaches the FPGA through /dev/mem. rtsim writes a sparse image of the
board's physical memory (the register page at 0xF0000000, the RX table at
0xF0010000, words in the byte order of the binary under test) and runs an
rtprobe binary with that image as its /dev/mem, in a private mount namespace
where the machine's own /dev/mem cannot be reached. PowerPC binaries run under
qemu-ppc, which finds the image at PREFIX/dev/mem as well.

A board is made of description files and saved captures, applied in order.
A description is plain text, one setting a line, '#' starts a comment:

    tx_status      0x00200020     # a named status register
    reg 0x240      0x00200020     # a register by its offset in the page
    rx  3          0x00201ABC     # an RX table entry by index, raw
    route 4 DSP1>L7 17            # entry 4 routes VE channel 17 to a node
    link DSP2>L1 tx down          # link flags: tx rx clock all, or one of
                                  #   tx_run tx_data rx_run rx_data
                                  #   clock_lock clock_run; up or down
    loopback DSP2>L0 far on       # far or near, on or off

Numbers are decimal (leading zeros too) or hexadecimal after 0x.
Registers: far_loopback, near_loopback, clock_status, tx_status, rx_status.
Nodes: DSP0>L5 DSP0>L4 DSP1>L7 DSP1>L6 DSP2>L1 DSP2>L0 DSP3>L3 DSP3>L2
SMAC>L8 HMAC0>L10 I/O>L12 Mezz>L14 HMAC1>L16 (or their ids 0 to 12); link and
loopback take the eight DSP links (ids 0 to 7) or 'all'.

A capture is a saved report or a whole console log: the -rx_raw report sets
the RX table, -mgt_status and -mgt_loopback set the status registers so that
they print the same reports. Everything else in a capture is ignored.
"""

import argparse
import dataclasses
import difflib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

VERSION = "0.1.0"  # the rtprobe release this simulator comes with
IMAGE_SIZE = 0xF0018000
FPGA_BASE = 0xF0000000
REGISTER_PAGE = 0x1000
RX_TABLE = 0xF0010000
RX_ENTRIES = 8192
PPC_SYSROOT = "/usr/powerpc-linux-gnu"
HERE = os.path.dirname(os.path.realpath(__file__))
# Installed as bin/rtsim beside share/rtprobe/boards; in the source tree, sim/ beside boards/.
BOARD_DIRS = (os.path.join(HERE, "..", "share", "rtprobe", "boards"),
              os.path.join(HERE, "..", "boards"))

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
DSP_LINKS = [name for name, _ in NODES[:8]]

# Each status flag: its register and its bit for link Ln. The two links of a
# DSP share one clock run bit.
FLAGS = {
    "tx_run": ("tx_status", lambda n: 1 << n),
    "tx_data": ("tx_status", lambda n: 1 << (16 + n)),
    "rx_run": ("rx_status", lambda n: 1 << n),
    "rx_data": ("rx_status", lambda n: 1 << (16 + n)),
    "clock_lock": ("clock_status", lambda n: 1 << (8 + n)),
    "clock_run": ("clock_status", lambda n: 1 << (n & ~1)),
    "far": ("far_loopback", lambda n: 1 << n),
    "near": ("near_loopback", lambda n: 1 << n),
}
LINK_PARTS = {"tx": ("tx_run", "tx_data"), "rx": ("rx_run", "rx_data"),
              "clock": ("clock_lock", "clock_run"),
              "all": ("tx_run", "tx_data", "rx_run", "rx_data", "clock_lock", "clock_run")}
LINK_PARTS.update({flag: (flag,) for flag in list(FLAGS)[:6]})

# The sections of -mgt_status and -mgt_loopback, by title: the flags of their two rows.
SECTIONS = {
    "MGT Link Tx Status (1 - true, 0 - false)": (("Run:", "tx_run"), ("Data:", "tx_data")),
    "MGT Link Rx Status (1 - true, 0 - false)": (("Run:", "rx_run"), ("Data:", "rx_data")),
    "MGT Link Clock Status (1 - true, 0 - false)": (("Lock:", "clock_lock"),
                                                    ("Run:", "clock_run")),
    "MGT Link Loopback Status (1 - loopback on, 0 - normal operation)": (("Far:", "far"),
                                                                         ("Near:", "near")),
}
LOSSY_VIEWS = {
    "RX Table - VE channel": "an -rx grid shows only the channels of the first ten entries",
    "Node :": "an -rx_by_node report shows only the first ten entries",
}
RAW_ENTRY = re.compile(r"0x([0-9A-Fa-f]{8})\s+0x([0-9A-Fa-f]{8})")
SEPARATORS = ("-" * 54, "-" * 138)

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


def _nearest(word, known, what):
    """An unknown word, with the known one it most resembles."""
    best = difflib.get_close_matches(word, known, n=1, cutoff=0)
    hint = f" (did you mean '{best[0]}'?)" if best else ""
    return DescriptionError(f"unknown {what} '{word}'{hint}")


def _number(text, what, low, high):
    # As rtprobe reads its numbers: 0x and hexadecimal digits, or decimal digits,
    # where leading zeros do not make octal.
    if not re.fullmatch(r"0[xX][0-9A-Fa-f]+|[0-9]+", text):
        raise DescriptionError(f"{what} '{text}' is not a number (decimal, or hexadecimal after 0x)")
    value = int(text, 16) if text[1:2] in ("x", "X") else int(text, 10)
    if not low <= value <= high:
        raise DescriptionError(f"{what} {text} is outside {low:#x}..{high:#x}")
    return value


def _node(text, names):
    if text.isdigit():
        return _number(text, "node", 0, len(names) - 1)
    if text in names:
        return names.index(text)
    raise _nearest(text, names, "node")


def _set_flags(board, flags, links, on):
    for flag in flags:
        register, bit_of = FLAGS[flag]
        offset = REGISTERS[register]
        for link in links:
            bit = bit_of(int(DSP_LINKS[link].split(">L")[1]))
            value = board.regs.get(offset, 0)
            board.regs[offset] = value | bit if on else value & ~bit


def _links(text):
    return range(8) if text == "all" else [_node(text, DSP_LINKS)]


def _state(text, on, off):
    if text not in (on, off):
        raise _nearest(text, (on, off), "state")
    return text == on


def _apply_link(board, node, part, state):
    links = _links(node)
    if part not in LINK_PARTS:
        raise _nearest(part, list(LINK_PARTS), "link flag")
    _set_flags(board, LINK_PARTS[part], links, _state(state, "up", "down"))


def _apply_loopback(board, node, end, state):
    links = _links(node)
    if end not in ("far", "near"):
        raise _nearest(end, ("far", "near"), "loopback end")
    _set_flags(board, (end,), links, _state(state, "on", "off"))


def _apply_reg(board, offset, value):
    offset = _number(offset, "register offset", 0, REGISTER_PAGE - 4)
    if offset % 4:
        raise DescriptionError(f"register offset {offset:#x} is not a multiple of 4")
    board.regs[offset] = _word(value)


def _apply_route(board, index, node, channel):
    index = _number(index, "RX index", 0, RX_ENTRIES - 1)
    bit = NODES[_node(node, [name for name, _ in NODES])][1]
    board.rx[index] = bit | _number(channel, "channel", 0, 0x1FFF)


def _word(text):
    return _number(text, "value", 0, 0xFFFFFFFF)


def _apply_rx(board, index, value):
    board.rx[_number(index, "RX index", 0, RX_ENTRIES - 1)] = _word(value)


def _named_register(offset):
    return lambda board, value: board.regs.__setitem__(offset, _word(value))


# Each setting: what it does to the board and an example of its words.
SETTINGS = {
    **{name: (_named_register(offset), f"{name} 0x00FF00FF") for name, offset in REGISTERS.items()},
    "reg": (_apply_reg, "reg 0x240 0x00FF00FF"),
    "rx": (_apply_rx, "rx 3 0x00201ABC"),
    "route": (_apply_route, "route 4 DSP1>L7 17"),
    "link": (_apply_link, "link DSP2>L1 tx down"),
    "loopback": (_apply_loopback, "loopback DSP2>L0 far on"),
}


def _apply(board, words):
    if words[0] not in SETTINGS:
        raise _nearest(words[0], list(SETTINGS), "setting")
    action, example = SETTINGS[words[0]]
    if len(words) != len(example.split()):
        raise DescriptionError(f"'{' '.join(words)}' does not read like '{example}'")
    action(board, *words[1:])


class _Located(DescriptionError):
    """An error at a given line of a capture (index from 0)."""

    def __init__(self, index, message):
        super().__init__(message)
        self.index = index


def _next_line(lines, i, wanted):
    """The index of the first non-blank line from i on."""
    while i < len(lines) and not lines[i].strip():
        i += 1
    if i == len(lines):
        raise _Located(len(lines) - 1, f"the report ends before {wanted}")
    return i


def _read_raw(board, lines, i, fill):
    """The entries that follow a raw report's header; returns the index after them."""
    count = 0
    while count < RX_ENTRIES and i < len(lines):
        match = RAW_ENTRY.fullmatch(lines[i].strip())
        if not match or int(match[1], 16) != RX_TABLE + 4 * count:
            break
        board.rx[count] = int(match[2], 16)
        count, i = count + 1, i + 1
    if count < RX_ENTRIES and not fill:
        raise _Located(min(i, len(lines) - 1),
                       f"the -rx_raw report stops after {count} of {RX_ENTRIES} entries, "
                       f"before 0x{RX_TABLE + 4 * count:08X} (--fill-zero sets the rest to 0)")
    board.rx.update((index, 0) for index in range(count, RX_ENTRIES))
    return i


def _read_section(board, lines, i, rows):
    """An MGT report section whose title is at lines[i]; returns the index after it."""
    names = "the eight link names, " + " ".join(DSP_LINKS)
    i = _next_line(lines, i + 1, names)
    if lines[i].strip() in SEPARATORS:
        i = _next_line(lines, i + 1, names)
    if lines[i].split() != DSP_LINKS:
        raise _Located(i, f"expected {names}")
    values = {}
    for label, flag in rows:
        i = _next_line(lines, i + 1, f"the row '{label}'")
        words = lines[i].split()
        if len(words) != 9 or words[0] != label or not set(words[1:]) <= {"0", "1"}:
            raise _Located(i, f"expected the row '{label}' and eight flags 0 or 1")
        register, bit_of = FLAGS[flag]
        ones = zeros = 0
        for link, digit in zip(DSP_LINKS, words[1:]):
            bit = bit_of(int(link.split(">L")[1]))
            ones, zeros = (ones | bit, zeros) if digit == "1" else (ones, zeros | bit)
        if ones & zeros:
            raise _Located(i, f"row '{label}': the two links of one DSP share this flag "
                              "but show 1 and 0")
        values[register] = values.get(register, 0) | ones
    for register, value in values.items():
        board.regs[REGISTERS[register]] = value  # bits no row shows are unknown: 0
    return i + 1


def _read_capture(board, lines, fill):
    raw_seen, lossy = False, None
    i = 0
    while i < len(lines):
        text = lines[i].strip()
        if text.split() == ["Address", "Value"]:
            i, raw_seen = _read_raw(board, lines, i + 1, fill), True
            continue
        if text in SECTIONS:
            i = _read_section(board, lines, i, SECTIONS[text])
            continue
        view = next((why for start, why in LOSSY_VIEWS.items() if text.startswith(start)), None)
        lossy = lossy or (view and (i, view))
        i += 1
    # A partial table would make every other report differ from the field board's.
    if lossy and not raw_seen:
        raise _Located(lossy[0], f"{lossy[1]} for nine nodes and cannot be replayed; "
                                 "save -rx_raw for the RX table")


def parse_board(text, name="<board>", board=None, fill=False):
    """Reads a description or a capture onto board (a new one by default).

    Errors name the file and line. fill: a -rx_raw report cut short is taken,
    the entries it lacks being 0."""
    board = Board() if board is None else board
    text = text[:-1] if text.endswith("\n") else text
    lines = text.split("\n")
    try:
        if any(line.strip() in SEPARATORS for line in lines):
            _read_capture(board, lines, fill)
            return board
        for index, line in enumerate(lines):
            words = line.split("#", 1)[0].split()
            if words:
                try:
                    _apply(board, words)
                except DescriptionError as error:
                    raise _Located(index, str(error)) from None
    except _Located as error:
        raise DescriptionError(f"{name}:{error.index + 1}: {error}") from None
    return board


def load_board(path, board=None, fill=False):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise DescriptionError(f"{path}: {error.strerror}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise DescriptionError(f"{path}:{line}: byte 0x{data[error.start]:02X} is not UTF-8") \
            from None
    return parse_board(text, path, board, fill)


def find_board(name):
    """A board file by path, or a shipped board by its name."""
    if os.path.exists(name) or os.sep in name:
        return name
    for folder in BOARD_DIRS:
        for path in (os.path.join(folder, name), os.path.join(folder, name + ".board")):
            if os.path.isfile(path):
                return os.path.normpath(path)
    shipped = sorted({n[:-6] for d in BOARD_DIRS if os.path.isdir(d)
                      for n in os.listdir(d) if n.endswith(".board")})
    raise DescriptionError(f"{name}: no such file, nor a shipped board ({', '.join(shipped)})")


def load_boards(names, fill=False):
    """One board from several files and shipped boards, later settings winning."""
    board = Board()
    for name in names:
        load_board(find_board(name), board, fill)
    return board


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


class _Interrupted(BaseException):
    """A signal that ends rtsim; unwinding removes the temporary board."""


def _interrupted(signum, _frame):
    for other in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)  # let the cleanup finish
    raise _Interrupted(signum)


def _say(message):
    if sys.stderr is not None:
        try:
            print(f"rtsim: {message}", file=sys.stderr, flush=True)
        except OSError:
            pass


def _flush_stdout(data=b""):
    """Writes data and whatever is buffered; False, and the rest discarded, if that fails."""
    try:
        if sys.stdout is None:
            if not data:
                return True
            raise OSError(9, os.strerror(9))
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return True
    except OSError as error:
        _say(f"cannot write standard output: {error.strerror}")
        if sys.stdout is not None:  # so that the interpreter's own last flush succeeds
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return False


def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="rtsim", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"rtsim {VERSION}")
    boards = argparse.ArgumentParser(add_help=False)
    boards.add_argument("--fill-zero", action="store_true",
                        help="take a -rx_raw capture cut short, the entries it lacks being 0")
    commands = parser.add_subparsers(dest="command", required=True)
    image = commands.add_parser("image", parents=[boards],
                                help="write a board image from descriptions and captures")
    image.add_argument("boards", nargs="+", metavar="board",
                       help="a file, or the name of a shipped board; later ones win")
    image.add_argument("-o", "--output", required=True)
    image.add_argument("--byte-order", choices=("big", "little"), default="big",
                       help="big for the PowerPC board (default), little for an x86-64 build")
    runner = commands.add_parser("run", parents=[boards], help="run rtprobe on a simulated board")
    runner.add_argument("--board", action="append", default=[],
                        help="a description, a capture or the name of a shipped board; "
                             "repeat to combine, later ones win (default: every word 0)")
    runner.add_argument("--device", choices=DEVICES, default="image",
                        help="what stands at /dev/mem (default: the board image)")
    runner.add_argument("--sysroot", help=f"PowerPC run-time root (default {PPC_SYSROOT})")
    runner.add_argument("binary", help="an rtprobe binary, host or PowerPC")
    runner.add_argument("args", nargs=argparse.REMAINDER, help="rtprobe's arguments")
    return parser.parse_args(argv)


def _image(options):
    board = load_boards(options.boards, options.fill_zero)
    try:
        write_image(options.output, board, options.byte_order)
    except BaseException:
        if os.path.isfile(options.output):
            os.unlink(options.output)
        raise
    return 0


def _run(options):
    board = load_boards(options.board, options.fill_zero)
    result = run(options.binary, options.args, board, options.device, options.sysroot)
    if not _flush_stdout(result.stdout):
        return 1
    if sys.stderr is not None and result.stderr:
        sys.stderr.flush()
        sys.stderr.buffer.write(result.stderr)
        sys.stderr.buffer.flush()
    # As a shell reports a program killed by signal N.
    return 128 - result.status if result.status < 0 else result.status


def main(argv=None):
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _interrupted)
    try:
        options = _arguments(argv)
        status = (_image if options.command == "image" else _run)(options)
    except SystemExit as done:  # --help, --version and command lines argparse refuses
        status = done.code if isinstance(done.code, int) else 2
    except (DescriptionError, IsolationError, ValueError) as error:
        _say(error)
        status = 2
    except OSError as error:
        _say(f"{error.filename}: {error.strerror}" if error.filename else error.strerror)
        status = 2
    except _Interrupted as signum:
        status = 128 + signum.args[0]
    return status if _flush_stdout() else 1


if __name__ == "__main__":
    sys.exit(main())
