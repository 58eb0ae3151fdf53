# SPDX-License-Identifier: MIT
"""A capture read as a timeline: the reports a console log shows, in the
order it shows them, each whole or cut short, with the line of the file
where each of its lines stands; and the description lines between them.

Outside a report, only the lines that can be a report's, a setting or a
prompt are looked at (found by one search over the whole text). Inside one,
every line is its next line, console output (a blank or separator line, a
kernel message, a pager's prompt, ^C), or where it ends cleanly (the end of
the file, a prompt, a setting, another report's first line); any other line
is damage, refused."""

import bisect
import dataclasses
import re

from .console import line_of
from .description import SETTINGS, DescriptionError, read_setting, shown
from .layout import DSP_LINKS, NODES, RX_ENTRIES, RX_TABLE
from .reports import SECTIONS, VIEW_NODES, VIEWED

_SETTING_NAMES = "|".join(sorted(SETTINGS, key=len, reverse=True))
# Lines that may be a report's, blanks as the console left them; and those
# that may be a setting.
_REPORT_LINE = (r"Address[ \t]+(?:Value|Channel)|0x[0-9A-F]{8}[ \t]+(?:0x[0-9A-F]{8}|\d+)"
                r"|RX Table - VE channel|MGT Link [A-Za-z]+ Status \([^\n]*|Node[ \t]+:[ \t]+\S+"
                r"|DSP0>L[45](?:[ \t]+\S+){7,8}|(?:Run|Data|Lock|Far|Near):(?:[ \t]+[01]){8}"
                r"|\d{4}(?:[ \t]+\d{4}){8}")
REPORT_LINES = re.compile(r"(?m)^[ \t]*(?:" + _REPORT_LINE + r")[ \t]*$")
# A shell's prompt (the host it names), a root shell's or a boot loader's.
PROMPT = re.compile(r"[ \t]*(?:\[?[\w.-]+@([\w.-]+)[:\s\]]|[#$] |=> )")
SETTING = re.compile(r"[ \t]*(?:" + _SETTING_NAMES + r")[ \t]")
NAMED = re.compile(r"(?m)^[ \t]*\[?[\w.-]+@([\w.-]+)[:\s\]]")
CANDIDATES = re.compile(r"(?m)^[ \t]*(?:" + _REPORT_LINE + "|(?:" + _SETTING_NAMES
                        + r")[ \t][^\n]*)[ \t]*$")
# Console output a report goes on past: blank and separator lines, kernel
# messages (and a logger's stamped lines), a pager's prompts, ^C.
CONSOLE = re.compile(r"(?:\n++|[ \t]*+(?:-++|\[[ \t]*\d+\.\d+\][^\n\ufffd]*+|\x0b[^\n\ufffd]*+|:"
                     r"|--More--(?:\(\d+%\))?|\(END\)|\^C)?[ \t]*+(?:\n|\Z))*+")
# A report's line at the end of a line, after what may be a line prefix.
REPORT_END = re.compile(r"(?:" + _REPORT_LINE + r")[ \t]*$")
# A report's header or title, where a line prefix may stand before it. (A
# title's parentheses hold no other: the search stops at the next one, so
# that a line of many openings costs no more than its length.)
HEADERS = re.compile(r"(?m)(?:Address[ \t]+Value|RX Table - VE channel"
                     r"|MGT Link [A-Za-z]+ Status \([^()\n]*\))[ \t]*$")
# A console log of one board holds some reports, a few thousand at most in
# the largest file read; many more is no such log, and would only be slow.
MOST_REPORTS = 10000
# Entry lines of an -rx_raw report exactly as rtprobe prints them, and the
# address each entry's line starts with.
ENTRY_LINES = re.compile(r"(?:0xF001[0-7][0-9A-F]{3}\t\t0x[0-9A-F]{8}\n)+")
ADDRESSES = ["0x%08X" % (RX_TABLE + 4 * index) for index in range(RX_ENTRIES)]
ENTRY_LINE = len("0xF0010000\t\t0x00000000\n")
BLOCK = 64  # lines matched at a time: a block that is not the table's costs little
ENTRY = re.compile(r"0x(F001[0-7][0-9A-F]{2}[048C]) 0x[0-9A-F]{8}")
NODE_ENTRY = re.compile(r"0x(F00100[0-2][048C]) \d+")
ROW = re.compile(r"(Run|Data|Lock|Far|Near): [01](?: [01]){7}")
GRID_ROW = re.compile(r"\d{4}(?: \d{4}){8}")
LINKS = " ".join(DSP_LINKS)
# The report lines that are always the same text: what each is.
FIXED = {
    "Address Value": ("head", None),
    "RX Table - VE channel": ("grid_title", None),
    " ".join(NODES[node][0] for node in VIEW_NODES): ("grid_names", None),
    "Address Channel": ("node_head", None),
    LINKS: ("links", None),
    **{title: ("title", number) for number, (title, *_) in enumerate(SECTIONS)},
    **{f"Node : {NODES[node][0]}": ("node", number) for number, node in enumerate(VIEW_NODES)},
}
# The MGT reports' lines in order, what is compared of them.
STATUS = [line for number in range(3) for line in
          (("title", number), ("links", None), *(("row", label[:-1])
                                                  for label, _ in SECTIONS[number][1:]))]
SHAPES = {"mgt_status": STATUS,
          "mgt_loopback": [("title", 3), ("links", None), ("row", "Far"), ("row", "Near")]}
# The line that starts a report, or one whose beginning was lost: its kind
# and which of the report's lines it is. Besides these, an entry line starts
# a table at that entry, and a node's line a list by node at that node (its
# place there known once the board is built).
STARTS = {("head", None): ("rx_raw", 0), ("grid_title", None): ("rx", 0),
          ("grid_names", None): ("rx", 1), ("node", 0): ("rx_by_node", 0),
          ("title", 0): ("mgt_status", 0), ("title", 1): ("mgt_status", 4),
          ("title", 2): ("mgt_status", 8), ("title", 3): ("mgt_loopback", 0)}


@dataclasses.dataclass
class Observation:
    """A report as a capture shows it: its kind, the file, which line of the
    report its first line is (None: found in the board's), and its lines
    (line number, text as compared)."""

    kind: str
    name: str
    first: int
    lines: list = dataclasses.field(default_factory=list)
    keys: list = dataclasses.field(default_factory=list)  # what each line is
    whole: bool = False  # every line of the report is shown
    host: str = None  # the host the prompt before it names

    @property
    def stop(self):
        """The line after its last."""
        return self.lines[-1][0] + 1

    def values(self):
        """Entry index -> value for an -rx_raw report."""
        return {value: int(text[-8:], 16) for (_, text), (key, value)
                in zip(self.lines, self.keys) if key == "entry"}


def plain_key(text):
    """What a report line is, as (key, value), or None for any other line."""
    fixed = FIXED.get(text)
    if fixed:
        return fixed
    match = ENTRY.fullmatch(text)
    if match:
        return ("entry", (int(match[1], 16) - RX_TABLE) // 4)
    match = NODE_ENTRY.fullmatch(text)
    if match:
        return ("node_entry", (int(match[1], 16) - RX_TABLE) // 4)
    match = ROW.fullmatch(text)
    if match:
        return ("row", match[1])
    return ("grid_row", None) if GRID_ROW.fullmatch(text) else None


def _fits(report, key, value):
    """Whether a line is the next line of a report being read."""
    if report.kind == "rx_raw":
        return key == "entry" and value == report.first + len(report.lines) - 1
    if report.kind == "rx_by_node":
        return _fits_node(report, key, value)
    at = report.first + len(report.lines)
    if report.kind in SHAPES:
        shape = SHAPES[report.kind]
        return at < len(shape) and shape[at] == (key, value)
    if at == 1:  # an -rx grid
        return key == "grid_names"
    return key == "grid_row" and at <= 1 + VIEWED


def _fits_node(report, key, value):
    """Whether a line is the next line of an -rx_by_node report being read."""
    last, last_value = report.keys[-1]
    if last == "node":
        return key == "node_head"
    if key == "node_entry":
        return value < VIEWED and (last == "node_head" or value > last_value)
    node = next(value for key, value in reversed(report.keys) if key == "node")
    return (key, value) == ("node", node + 1)


def _entries(report, text, start, line):
    """Reads the next entry lines of an -rx_raw report, as rtprobe prints
    them, a block at a time (most lines of a log are these); the position
    after the last one read."""
    position = start
    while True:
        at = report.first + len(report.keys) - 1
        found = ENTRY_LINES.match(text, position, position + ENTRY_LINE * BLOCK)
        lines = found[0].split("\n")[:-1] if found else []
        expected = ADDRESSES[at:at + len(lines)]
        good = next((n for n, (text_line, address) in enumerate(zip(lines, expected))
                     if text_line[:10] != address), len(expected))
        report.lines += zip(range(line, line + good),
                            (text_line.replace("\t\t", " ") for text_line in lines[:good]))
        report.keys += (("entry", index) for index in range(at, at + good))
        position += ENTRY_LINE * good
        line += good
        if good < BLOCK:
            return position


def _start(key):
    """(kind, first line) of the report a line starts, or None."""
    if key in STARTS:
        return STARTS[key]
    if key and key[0] == "entry":
        return "rx_raw", key[1] + 1
    return ("rx_by_node", None) if key and key[0] == "node" else None


def _whole(report):
    """Whether a report shows all its lines (a view: as far as can be told)."""
    if report.kind == "rx_by_node":
        return (report.keys[-1][0] != "node"
                and any(key == ("node", len(VIEW_NODES) - 1) for key in report.keys))
    at = report.first + len(report.lines)
    if report.kind == "rx_raw":
        return report.first <= 1 and at == RX_ENTRIES + 1
    if report.kind in SHAPES:
        return report.first == 0 and at == len(SHAPES[report.kind])
    return at >= 2  # an -rx grid


def prefix(text):
    """The position and text of the first thing that stands before a report's
    header on its line (a prefix rtsim does not know), or None."""
    for found in HEADERS.finditer(text):
        start = text.rfind("\n", 0, found.start()) + 1
        before = text[start:found.start()].strip()
        if before and not before.startswith("#"):  # a description's comment quoting a title
            return start, before
    return None


def line_prefix(line):
    """What stands before a report's line on a line of a description (a
    prefix put before a capture whose header is not in it), or None."""
    found = REPORT_END.search(line)
    if found and line[:found.start()].strip() and plain_key(" ".join(found[0].split())):
        return line[:found.start()].strip()
    return None


def is_capture(text):
    """Whether a cleaned text holds a report's line (or a header after a prefix)."""
    for found in REPORT_LINES.finditer(text):
        if plain_key(" ".join(found[0].split())):
            return True
    return prefix(text) is not None


def _last(report):
    """Whether a report can take no more lines."""
    at = report.first + len(report.lines)
    if report.kind == "rx_raw":
        return at == RX_ENTRIES + 1
    if report.kind in SHAPES:
        return at == len(SHAPES[report.kind])
    return report.kind == "rx" and at == 2 + VIEWED


def _expected(report):
    """What a report's next line should be, as a refusal names it."""
    at = report.first + len(report.lines)
    if report.kind == "rx_raw":
        return f"entry 0x{RX_TABLE + 4 * (at - 1):08X}"
    if report.kind in SHAPES:
        key, value = SHAPES[report.kind][at]
        if key == "title":
            return f"the title '{SECTIONS[value][0].split(' (')[0]}'"
        return f"the '{value}:' row" if key == "row" else "the links' names"
    if report.kind == "rx":
        return "the nodes' names" if at == 1 else "a row of channels"
    return "its next line"


def _ends(report, text, key):
    """Whether a line that is not a report's next ends it cleanly: the
    end of the file, a prompt, a setting or a report's first line."""
    return (not text.strip() or PROMPT.match(text) or SETTING.match(text)
            or STARTS.get(key, (None, 1))[1] == 0)


class _Reader:
    """A capture being read: where, the report being read, the hosts that
    prompts name."""

    def __init__(self, text, name):
        self.text, self.name, self.events, self.settings = text, name, [], 0
        self.position, self.line, self.report = 0, 1, None
        # Where the host the prompts name changes, and the host from there on.
        self.changes, self.hosts = [0], [None]
        for found in NAMED.finditer(text):
            if found[1] != self.hosts[-1]:
                self.changes.append(found.start())
                self.hosts.append(found[1])

    def go(self, end):
        """Moves to a position, counting the lines passed."""
        self.line += self.text.count("\n", self.position, end)
        self.position = end

    def next_line(self):
        """The line at the position, and the position after it."""
        end = self.text.find("\n", self.position)
        end = len(self.text) if end < 0 else end
        return self.text[self.position:end], min(end + 1, len(self.text))

    def inside(self):
        """Reads the next line of the report being read, or ends it."""
        report = self.report
        if report.kind == "rx_raw":
            self.go(_entries(report, self.text, self.position, self.line))
        if not _last(report):
            self.go(CONSOLE.match(self.text, self.position).end())
            current, after = self.next_line()
            plain = " ".join(current.split())
            key = plain_key(plain)
            if key and _fits(report, *key):
                report.lines.append((self.line, plain))
                report.keys.append(key)
                self.go(after)
            elif not _ends(report, current, key):
                raise DescriptionError(
                    f"{self.name}:{self.line}: '{shown(plain, 40)}' breaks the -{report.kind} "
                    f"report of line {report.lines[0][0]} where {_expected(report)} should be "
                    "(damaged on the console?); save the report again")
            else:
                self.report = None
        if self.report is None or _last(report):
            report.whole, self.report = _whole(report), None

    def outside(self, found):
        """Reads a line outside a report: a setting or a report's first."""
        self.go(found.start())
        current, after = self.next_line()
        plain = " ".join(current.split())
        key = plain_key(plain)
        if _start(key):
            kind, first = _start(key)
            self.begin(Observation(kind, self.name, first, [(self.line, plain)], [key]))
        elif not key:
            self.events.append(read_setting(self.name, self.line,
                                            plain.split("#", 1)[0].split(), self.settings))
            self.settings += 1
        else:
            raise DescriptionError(f"{self.name}:{self.line}: '{shown(plain, 60)}' belongs to a "
                                   "report whose first lines the log does not show (broken by "
                                   "other output?); save the report again")
        self.go(after)

    def begin(self, report):
        if len(self.events) - self.settings >= MOST_REPORTS:
            raise DescriptionError(f"{self.name}:{self.line}: more than {MOST_REPORTS} reports; "
                                   "not a console log of a board")
        report.host = self.hosts[bisect.bisect(self.changes, self.position) - 1]
        self.events.append(report)
        self.report = None if _last(report) else report
        report.whole = _whole(report)


def timeline(text, name):
    """The reports and settings of a capture's cleaned text, in order."""
    prefixed = prefix(text)
    if prefixed:
        raise DescriptionError(
            f"{name}:{line_of(text, prefixed[0])}: '{shown(prefixed[1], 30)}' stands before a "
            "report's header, a line prefix rtsim does not read; remove it from the lines")
    reader = _Reader(text, name)
    while reader.position < len(text):
        if reader.report:
            reader.inside()
            continue
        found = CANDIDATES.search(text, reader.position)
        if not found:
            break
        reader.outside(found)
    if reader.report:
        reader.report.whole = _whole(reader.report)
    return reader.events
