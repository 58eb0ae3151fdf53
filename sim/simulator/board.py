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
# The three sections of an -mgt_status report, in the order it prints them.
STATUS_REPORT = list(SECTIONS)[:3]
# The groups of registers a capture gives, as a warning names them.
PARTS = {"the status registers": ("tx_status", "rx_status", "clock_status"),
         "the loopback registers": ("far_loopback", "near_loopback")}
LOSSY_VIEWS = {
    "RX Table - VE channel": "an -rx grid shows only the channels of the first ten entries",
    "Node :": "an -rx_by_node report shows only the first ten entries",
}
HEADER_WORDS = re.compile(rb"Address[ \t]+Value|MGT Link [A-Za-z]+ Status|RX Table|Node :")
RAW_ENTRY = re.compile(r"0x([0-9A-Fa-f]{8})\s+0x([0-9A-Fa-f]{8})")
# A real board file is small: a console log with a few whole -rx_raw reports,
# each 8192 lines, and no line longer than a report's 138 hyphens and a
# logger's timestamp.
MAX_FILE = 4 << 20
MAX_LINE = 1000
# What terminals and serial loggers add to a line: escape sequences (CSI,
# OSC, two-byte), a timestamp at its start (ISO date and time, time alone,
# a kernel's seconds since boot), byte-order marks and other control bytes.
ESCAPES = re.compile(r"\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b\[[0-?]*[ -/]*[@-~]|\x1b[ -~]")
STAMP = re.compile(r"\[?(?:\d{4}-\d\d-\d\d[ T_])?\d\d:\d\d:\d\d(?:[.,]\d+)?"
                   r"(?:Z|[+-]\d\d:?\d\d)?\]?[ \t]?|\[\s*\d+\.\d+\][ \t]?")
ERASED = re.compile(r"[^\x08]\x08")
CONTROLS = re.compile(r"[\x00-\x08\x0b-\x1f\x7f\ufeff]")


class DescriptionError(ValueError):
    """A board description line that cannot be read."""


@dataclasses.dataclass
class Reading:
    """What the captures read so far left open, checked once every file is in."""

    captured: bool = False  # a capture was read
    table_seen: bool = False  # an -rx_raw report, whole or not
    complete: dict = dataclasses.field(default_factory=dict)  # the last whole table
    cut: dict = dataclasses.field(default_factory=dict)  # "rx" or a register: its error
    lossy: object = None  # the error for an -rx or -rx_by_node view
    unknown: list = dataclasses.field(default_factory=list)  # parts no file gave


@dataclasses.dataclass
class Board:
    """Register words by offset from 0xF0000000, RX entries by index: the
    ones some file gave; the image holds 0 for the others."""

    regs: dict = dataclasses.field(default_factory=dict)
    rx: dict = dataclasses.field(default_factory=dict)
    reading: Reading = dataclasses.field(default_factory=Reading, compare=False, repr=False)


def _shown(text):
    """Text quoted in a message, cut so that the message stays one short line."""
    return text if len(text) <= 40 else text[:37] + "..."


def _nearest(word, known, what):
    """An unknown word, with the known one it most resembles."""
    best = difflib.get_close_matches(word[:40], known, n=1, cutoff=0)
    hint = f" (did you mean '{best[0]}'?)" if best else ""
    return DescriptionError(f"unknown {what} '{_shown(word)}'{hint}")


def _number(text, what, low, high):
    # As rtprobe reads its numbers: 0x and hexadecimal digits, or decimal digits,
    # where leading zeros do not make octal.
    if not re.fullmatch(r"0[xX][0-9A-Fa-f]+|[0-9]+", text):
        raise DescriptionError(f"{what} '{_shown(text)}' is not a number "
                               "(decimal, or hexadecimal after 0x)")
    value = int(text, 16) if text[1:2] in ("x", "X") else int(text, 10)
    if not low <= value <= high:
        raise DescriptionError(f"{what} {_shown(text)} is outside {low:#x}..{high:#x}")
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
    if words[0].startswith("---"):
        raise DescriptionError("a report's separator line, but no report header follows; "
                               "a description holds settings only")
    if words[0] not in SETTINGS:
        raise _nearest(words[0], list(SETTINGS), "setting")
    action, example = SETTINGS[words[0]]
    if len(words) != len(example.split()):
        raise DescriptionError(f"'{_shown(' '.join(words))}' does not read like '{example}'")
    action(board, *words[1:])


class _Located(DescriptionError):
    """An error at a given line of a file (index from 0)."""

    def __init__(self, index, message):
        super().__init__(message)
        self.index = index


def _raw_lines(data):
    """The lines of data, split at LF, CRLF or a lone CR, without copying it whole."""
    start = 0
    for end in re.finditer(rb"\r\n?|\n", data):
        yield data[start:end.start()]
        start = end.end()
    if start < len(data):
        yield data[start:]


def _lines(data):
    """(index, text, the first byte that is not UTF-8 or None) of each line,
    with what terminals and loggers add taken away."""
    for index, raw in enumerate(_raw_lines(data)):
        if len(raw) > MAX_LINE:
            raise _Located(index, f"a line of {len(raw)} bytes, longer than any report or "
                                  f"setting ({MAX_LINE} at most); not a board file")
        yield (index, *_clean(raw))


def _clean(raw):
    """A line's text without what terminals and loggers add, and the first
    byte of it that is not UTF-8, or None."""
    bad = None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        bad = raw[error.start]
        text = raw.decode("utf-8", "replace")
    text = ESCAPES.sub("", text)
    while "\b" in text:
        erased = ERASED.sub("", text)
        if erased == text:
            break
        text = erased
    text = CONTROLS.sub("", text)
    return STAMP.sub("", text, count=1) if STAMP.match(text) else text, bad


def _header(text):
    """The header a report line starts, or None."""
    flat = " ".join(text.split())
    if flat == "Address Value" or flat in SECTIONS:
        return flat
    return next((start for start in LOSSY_VIEWS if flat.startswith(start)), None)


class _Capture:
    """Reads one capture onto a board, line by line: report headers start reports,
    table lines are taken by their address, section rows by their label; a
    description line between them is applied, any other line is skipped."""

    def __init__(self, board, name):
        self.board, self.reading, self.name = board, board.reading, name
        self.table = None  # the -rx_raw report being read: index -> value
        self.section = None  # the MGT section being read: [title, rows read, line]
        self.expected = None  # the section an -mgt_status report prints next

    def line(self, index, text, bad):
        words = text.split()
        header = _header(text)
        if header:
            self.close(index, header)
            self.open(index, header)
        elif self.table is not None and RAW_ENTRY.fullmatch(" ".join(words)):
            self.entry(index, words)
        elif self.section and words and words[0] == self.next_word():
            self.row(index, words)
        elif bad is not None and (self.table is not None or self.section):
            raise _Located(index, f"byte 0x{bad:02X} is not UTF-8 inside a report; "
                                  "save the report again")
        else:
            setting = text.split("#", 1)[0].split()
            if setting and setting[0] in SETTINGS:
                _apply(self.board, setting)

    def open(self, index, header):
        if header == "Address Value":
            self.table, self.last, self.stop = {}, -1, index + 1
            self.reading.table_seen = True
        elif header in SECTIONS:
            self.section = [header, [], index]
        elif not self.reading.lossy:
            self.reading.lossy = self.named(index, f"{LOSSY_VIEWS[header]} for nine nodes "
                                            "and cannot be replayed; save -rx_raw for the RX table")

    def entry(self, index, words):
        address, value = int(words[0], 16), int(words[1], 16)
        entry = (address - RX_TABLE) // 4
        if address % 4 or not 0 <= entry < RX_ENTRIES:
            return
        if entry <= self.last:
            raise _Located(index, f"entry 0x{address:08X} comes twice in one -rx_raw report "
                                  "(a header lost?); save the report again")
        whole = self.reading.complete.get(entry, value)
        if whole != value:
            raise _Located(index, f"0x{value:08X} here, 0x{whole:08X} in a whole -rx_raw "
                                  "report before: the table changed; keep one of the two")
        self.table[entry], self.last, self.stop = value, entry, index + 1
        if len(self.table) == RX_ENTRIES:
            self.close_table()

    def close_table(self):
        table, self.table = self.table, None
        if len(table) == RX_ENTRIES:
            self.board.rx.update(table)
            self.reading.complete = table
            return
        self.board.rx.update(table)
        first = next(entry for entry in range(RX_ENTRIES) if entry not in table)
        self.reading.cut["rx"] = self.named(
            self.stop, f"the -rx_raw report stops after {len(table)} of {RX_ENTRIES} entries, "
                       f"0x{RX_TABLE + 4 * first:08X} missing; save it whole, or --fill-zero "
                       "sets what no report gives to 0")

    def next_word(self):
        rows = self.section[1]
        return DSP_LINKS[0] if not rows else SECTIONS[self.section[0]][len(rows) - 1][0]

    def row(self, index, words):
        title, rows, _ = self.section
        if not rows and words != DSP_LINKS:
            raise _Located(index, "expected the eight link names, " + " ".join(DSP_LINKS))
        if rows and (len(words) != 9 or not set(words[1:]) <= {"0", "1"}):
            raise _Located(index, f"expected the row '{words[0]}' and eight flags 0 or 1")
        rows.append(words[1:])
        if len(rows) == 3:
            self.section = None
            self.set_section(index, title, rows[1:])
            if title in STATUS_REPORT[:2]:
                self.expected = STATUS_REPORT[STATUS_REPORT.index(title) + 1]

    def set_section(self, index, title, rows):
        values = {}
        for (label, flag), flags in zip(SECTIONS[title], rows):
            register, bit_of = FLAGS[flag]
            ones = zeros = 0
            for link, digit in zip(DSP_LINKS, flags):
                bit = bit_of(int(link.split(">L")[1]))
                ones, zeros = (ones | bit, zeros) if digit == "1" else (ones, zeros | bit)
            if ones & zeros:
                raise _Located(index, f"row '{label}': the two links of one DSP share this "
                                      "flag but show 1 and 0; save the report again")
            values[register] = values.get(register, 0) | ones
        for register, value in values.items():
            self.board.regs[REGISTERS[register]] = value  # bits no row shows are unknown: 0

    def close(self, index, header=None):
        """Ends the report being read, at a new header (or the file's end)."""
        if self.table is not None:
            self.close_table()
        if self.section:
            title, _, start = self.section
            self.section = None
            self.cut_report(start, title, f"stops inside '{title}'")
        elif self.expected and header != self.expected:
            previous = STATUS_REPORT[STATUS_REPORT.index(self.expected) - 1]
            self.cut_report(index, self.expected, f"stops after '{previous}'")
        self.expected = None

    def cut_report(self, index, title, how):
        if title not in STATUS_REPORT:
            titles, report = [title], "-mgt_loopback"
        else:
            titles, report = STATUS_REPORT[STATUS_REPORT.index(title):], "-mgt_status"
        for missing in titles:
            for _, flag in SECTIONS[missing]:
                self.reading.cut[FLAGS[flag][0]] = self.named(
                    index, f"the {report} report {how}; save it whole")

    def named(self, index, message):
        """An error kept for the check once every file is in."""
        return DescriptionError(f"{self.name}:{index + 1}: {message}")


def _is_capture(data):
    """Whether a line of data is a report's header. Only the lines that hold
    a header's first words are looked at closely, so that a big file that is
    no capture is refused quickly."""
    for word in HEADER_WORDS.finditer(data):
        low, high = max(0, word.start() - MAX_LINE), word.end() + MAX_LINE
        starts = [data.rfind(b"\n", low, word.start()), data.rfind(b"\r", low, word.start())]
        ends = [data.find(b"\n", word.end(), high), data.find(b"\r", word.end(), high)]
        ends = [end for end in ends if end >= 0] or [len(data)]
        line = data[max(starts) + 1 if max(starts) >= 0 else low:min(ends)]
        if _header(_clean(line)[0]):
            return True
    return False


def _read(board, data, name):
    """Reads a file's bytes onto board: a capture when a line of it is a
    report's header, else a description. Errors name the file and line."""
    try:
        _read_lines(board, data, name)
    except _Located as error:
        raise DescriptionError(f"{name}:{error.index + 1}: {error}") from None
    except DescriptionError as error:
        raise DescriptionError(f"{name}: {error}") from None


def _read_lines(board, data, name):
    if data.startswith(b"\x7fELF"):
        raise DescriptionError("an ELF binary, not a board; the binary to run comes "
                               "after the options")
    if b"\0" in data:
        line = data.count(b"\n", 0, data.index(b"\0"))
        raise _Located(line, "a NUL byte: a binary file or an image, not a board")
    if not _is_capture(data):
        for index, text, bad in _lines(data):
            if bad is not None:
                raise _Located(index, f"byte 0x{bad:02X} is not UTF-8")
            words = text.split("#", 1)[0].split()
            if words:
                try:
                    _apply(board, words)
                except DescriptionError as error:
                    raise _Located(index, str(error)) from None
        return
    board.reading.captured = True
    capture = _Capture(board, name)
    index = -1
    for index, text, bad in _lines(data):
        try:
            capture.line(index, text, bad)
        except _Located:
            raise
        except DescriptionError as error:  # a description line's
            raise _Located(index, str(error)) from None
    capture.close(max(index, 0))


def finish(board, fill=False):
    """Refuses what the files left cut short, sets board.reading.unknown to
    the parts of the board no capture gave when captures were used and, with
    fill, the RX entries no file gave to 0."""
    reading = board.reading
    if reading.lossy and not reading.table_seen:
        raise reading.lossy
    cut = reading.cut.get("rx")
    if cut and len(board.rx) < RX_ENTRIES and not fill:
        raise cut
    for register, offset in REGISTERS.items():
        if register in reading.cut and offset not in board.regs:
            raise reading.cut[register]
    unknown = []
    missing = RX_ENTRIES - len(board.rx)
    if missing == RX_ENTRIES:
        unknown.append("the RX table")
    elif missing:
        unknown.append(f"{missing} of the {RX_ENTRIES} RX entries")
    for part, registers in PARTS.items():
        lacking = [name for name in registers if REGISTERS[name] not in board.regs]
        if len(lacking) == len(registers):
            unknown.append(part)
        elif lacking:
            unknown.extend(lacking)
    reading.unknown = unknown if reading.captured else []
    if fill:
        board.rx.update((entry, 0) for entry in range(RX_ENTRIES) if entry not in board.rx)
    return board


def parse_board(text, name="<board>", board=None, fill=False):
    """Reads a description or a capture onto board; a new board, checked
    whole (see finish), by default. Errors name the file and line."""
    whole = board is None
    board = Board() if whole else board
    _read(board, text.encode("utf-8"), name)
    return finish(board, fill) if whole else board


def _contents(path):
    """A file's bytes, if it is small enough to be a board file."""
    too_big = f"{path}: more than {MAX_FILE >> 20} MiB, too big for a board file"
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size > MAX_FILE:
                raise DescriptionError(f"{too_big} (a board image?)")
            data = f.read(MAX_FILE + 1)
    except OSError as error:
        raise DescriptionError(f"{path}: {error.strerror}") from None
    if len(data) > MAX_FILE:
        raise DescriptionError(too_big)
    return data


def load_board(path, board=None, fill=False):
    whole = board is None
    board = Board() if whole else board
    _read(board, _contents(path), path)
    return finish(board, fill) if whole else board


def _shipped():
    return sorted({n[:-6] for d in BOARD_DIRS if os.path.isdir(d)
                   for n in os.listdir(d) if n.endswith(".board")})


def find_board(name):
    """A board file by path, or a shipped board by its name (which a folder
    of that name here does not hide)."""
    if os.path.exists(name) and not os.path.isdir(name):
        return name
    shipped = _shipped()
    if os.sep in name:
        base = os.path.basename(name)
        base = base[:-6] if base.endswith(".board") else base
        if not os.path.exists(name) and base in shipped:
            raise DescriptionError(f"{name}: no such file; the shipped board is named '{base}'")
        return name
    for folder in BOARD_DIRS:
        for path in (os.path.join(folder, name), os.path.join(folder, name + ".board")):
            if os.path.isfile(path):
                return os.path.normpath(path)
    if os.path.exists(name):
        return name
    raise DescriptionError(f"{name}: no such file, nor a shipped board ({', '.join(shipped)})")


def load_boards(names, fill=False):
    """One board from several files and shipped boards, in order, checked
    whole (see finish): later settings and whole reports win."""
    board = Board()
    for name in names:
        load_board(find_board(name), board, fill)
    return finish(board, fill)
