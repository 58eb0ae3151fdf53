# SPDX-License-Identifier: MIT
"""Boards from files: a board description or a capture (a saved report, a
console log) read into a Board, the register words and RX entries that the
image will hold, and shipped boards found by name."""

import dataclasses
import os
import re
import stat

from .capture import is_capture, line_prefix, timeline
from .console import STAMPED, clean, decode, line_of
from .description import SETTINGS, DescriptionError, read_setting, shown
from .layout import (  # noqa: F401 (the names rtsim.py and the tests import from here)
    DSP_LINKS, FLAGS, FPGA_BASE, IMAGE_SIZE, NODES, REGISTER_PAGE, REGISTERS, RX_ENTRIES,
    RX_TABLE)
from .replay import replay

HERE = os.path.dirname(os.path.realpath(__file__))
# Installed as share/rtprobe/simulator beside share/rtprobe/boards; in the
# source tree, sim/simulator two levels below boards/.
BOARD_DIRS = (os.path.join(HERE, "..", "boards"), os.path.join(HERE, "..", "..", "boards"))
# The groups of registers a capture gives, as a warning names them.
PARTS = {"the status registers": ("tx_status", "rx_status", "clock_status"),
         "the loopback registers": ("far_loopback", "near_loopback")}
# A real board file is small: a console log with a few whole -rx_raw reports,
# each 8192 lines, and no setting longer than a line of a report.
MAX_FILE = 4 << 20
MAX_LINE = 1000
LONG_LINE = re.compile(r"(?m)^[^\n]{%d}" % (MAX_LINE + 1))
DESCRIPTION_LINES = re.compile(r"(?m)^[ \t]*[^\s#][^\n]*")
# What rtprobe prints when it saves no report: a file holding it is a save
# that failed on the board.
FAILED_SAVES = {
    "ERROR : Failed to mmap": "rtprobe could not map the board's memory (run it as root)",
    "rtprobe [-rx_raw": "rtprobe printed its usage (an option it does not know?)",
    "WARNING: TX tables are in": "rtprobe printed its TX warning (-tx saves no report)",
}


@dataclasses.dataclass
class Reading:
    """What the files read so far hold, replayed once every file is in."""

    events: list = dataclasses.field(default_factory=list)  # reports and settings, in order
    captured: bool = False  # a capture was read
    unknown: list = dataclasses.field(default_factory=list)  # parts no file gave


@dataclasses.dataclass
class Board:
    """Register words by offset from 0xF0000000, RX entries by index: the
    ones some file gave; the image holds 0 for the others."""

    regs: dict = dataclasses.field(default_factory=dict)
    rx: dict = dataclasses.field(default_factory=dict)
    reading: Reading = dataclasses.field(default_factory=Reading, compare=False, repr=False)


def _description(data, text, utf8, name):
    """The settings of a board description, every line of which must be one;
    text is the file's, cleaned."""
    if utf8:
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as error:
            line = data.count(b"\n", 0, error.start) + 1
            raise DescriptionError(f"{name}:{line}: byte 0x{data[error.start]:02X} is not UTF-8")
        if b"\0" in data:
            line = data.count(b"\n", 0, data.index(b"\0")) + 1
            raise DescriptionError(f"{name}:{line}: a NUL byte: a binary file or an image, "
                                   "not a board")
    text = text.replace(STAMPED, "")  # a stamped line of a description is still a setting
    events, line, position = [], 1, 0
    for found in DESCRIPTION_LINES.finditer(text):
        line += text.count("\n", position, found.start())
        position = found.start()
        words = found[0].split("#", 1)[0].split()
        failed = next((why for text, why in FAILED_SAVES.items()
                       if found[0].strip().startswith(text)), None)
        if failed:
            raise DescriptionError(f"{name}:{line}: the save on the board failed: {failed}; "
                                   "save the report again")
        before = words and words[0] not in SETTINGS and line_prefix(found[0])
        if before:
            raise DescriptionError(f"{name}:{line}: '{shown(before, 30)}' stands before a "
                                   "report's line, a line prefix rtsim does not read; remove it "
                                   "from the lines")
        if words:
            events.append(read_setting(name, line, words, len(events)))
    return events


def _read(board, data, name):
    """Reads a file's bytes onto board: a capture when a line of it is a
    report's, else a description."""
    try:
        text, utf8 = decode(data)
        cleaned = clean(text)
    except DescriptionError as error:
        raise DescriptionError(f"{name}{error}") from None
    # Before anything searches the lines: the searches then cost a bounded
    # amount a line.
    long = LONG_LINE.search(cleaned)
    if long:
        end = cleaned.find("\n", long.start())
        size = len(cleaned[long.start():end if end >= 0 else len(cleaned)].encode())
        raise DescriptionError(f"{name}:{line_of(cleaned, long.start())}: a line of {size} "
                               f"bytes, longer than any report or setting ({MAX_LINE} at most); "
                               "not a board file")
    if is_capture(cleaned):
        board.reading.captured = True
        board.reading.events += timeline(cleaned, name)
    else:
        board.reading.events += _description(data, cleaned, utf8, name)


def finish(board, fill=False):
    """Replays what the files hold onto the board (refusing what they leave
    cut short and what the board would print otherwise), sets
    board.reading.unknown to the parts of the board no capture gave when
    captures were used and, with fill, the RX entries no file gave to 0."""
    reading = board.reading
    replay(board, reading.events, fill)
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
    """Reads a description or a capture onto board; a new board, replayed
    whole (see finish), by default. Errors name the file and line."""
    whole = board is None
    board = Board() if whole else board
    _read(board, text.encode("utf-8"), name)
    return finish(board, fill) if whole else board


def _contents(path):
    """A file's bytes, if it is a regular file small enough to be a board
    file. A FIFO, socket or device is refused before it is opened, and the
    file opened is checked again, so that no read can wait."""
    def refuse(mode):
        if stat.S_ISDIR(mode):
            raise DescriptionError(f"{path}: a directory, not a board file; name a file in it")
        if not stat.S_ISREG(mode):
            raise DescriptionError(f"{path}: not a regular file (a FIFO, socket or device?); "
                                   "save the log to a file first")
    try:
        refuse(os.stat(path).st_mode)
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise DescriptionError(f"{path}: {error.strerror}") from None
    with open(fd, "rb") as f:
        status = os.fstat(f.fileno())
        refuse(status.st_mode)
        if status.st_size > MAX_FILE:
            raise DescriptionError(f"{path}: more than {MAX_FILE >> 20} MiB, too big for a "
                                   "board file (a board image?)")
        data = f.read(MAX_FILE + 1)
    if len(data) > MAX_FILE:
        raise DescriptionError(f"{path}: more than {MAX_FILE >> 20} MiB, too big for a board file")
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
    """One board from several files and shipped boards, in order, replayed
    whole (see finish): later settings and whole reports win."""
    board = Board()
    for name in names:
        load_board(find_board(name), board, fill)
    return finish(board, fill)
