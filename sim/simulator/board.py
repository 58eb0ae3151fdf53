# SPDX-License-Identifier: MIT
"""The board language and captures: description files and saved reports read
into a Board, the register words and RX entries that the image will hold."""

import dataclasses
import difflib
import os
import re

IMAGE_SIZE = 0xF0018000
FPGA_BASE = 0xF0000000
REGISTER_PAGE = 0x1000
RX_TABLE = 0xF0010000
RX_ENTRIES = 8192
HERE = os.path.dirname(os.path.realpath(__file__))
# Installed as share/rtprobe/simulator beside share/rtprobe/boards; in the
# source tree, sim/simulator two levels below boards/.
BOARD_DIRS = (os.path.join(HERE, "..", "boards"), os.path.join(HERE, "..", "..", "boards"))

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

class DescriptionError(ValueError):
    """A board description line that cannot be read."""


@dataclasses.dataclass
class Board:
    """Register words by offset from 0xF0000000, RX entries by index."""

    regs: dict = dataclasses.field(default_factory=dict)
    rx: dict = dataclasses.field(default_factory=dict)


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
