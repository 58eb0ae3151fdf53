# SPDX-License-Identifier: MIT
"""A capture read as a timeline: the reports a console log shows, in the
order it shows them, each whole or cut short, with the line of the file
where each of its lines stands; and the description lines between them.

Only the lines that can be a report's line or a setting are looked at
(found by one search over the whole text); a report goes on past other
lines (a kernel message, a pager's prompt) and ends at the first of its
kind of line that does not come next in it."""

import dataclasses
import itertools
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
CANDIDATES = re.compile(r"(?m)^[ \t]*(?:" + _REPORT_LINE + "|(?:" + _SETTING_NAMES
                        + r")[ \t][^\n]*)[ \t]*$")
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
    after the last one read. A block is twice the last while they are whole
    table lines: few blocks for a table, little read past a short report."""
    position, block = start, BLOCK
    while True:
        at = report.first + len(report.keys) - 1
        found = ENTRY_LINES.match(text, position, position + ENTRY_LINE * block)
        lines = found[0].split("\n")[:-1] if found else []
        expected = ADDRESSES[at:at + len(lines)]
        addresses = [text_line[:10] for text_line in lines]
        good = len(expected) if addresses[:len(expected)] == expected else next(
            n for n, (address, wanted) in enumerate(zip(addresses, expected)) if address != wanted)
        if good:
            shown = found[0][:ENTRY_LINE * good - 1].replace("\t\t", " ").split("\n")
            report.lines += zip(range(line, line + good), shown)
            report.keys += zip(itertools.repeat("entry"), range(at, at + good))
        position += ENTRY_LINE * good
        line += good
        if good < block:
            return position
        block *= 2


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
        if text[start:found.start()].strip():
            return start, text[start:found.start()].strip()
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


def timeline(text, name):
    """The reports and settings of a capture's cleaned text, in order."""
    prefixed = prefix(text)
    if prefixed:
        raise DescriptionError(
            f"{name}:{line_of(text, prefixed[0])}: '{shown(prefixed[1], 30)}' stands before a "
            "report's header, a line prefix rtsim does not read; remove it from the lines")
    events, report, line, position, settings = [], None, 1, 0, 0
    found = CANDIDATES.search(text)
    while found:
        line += text.count("\n", position, found.start())
        position = found.start()
        if report and report.kind == "rx_raw":
            end = _entries(report, text, position, line)
            if end > position:
                line += text.count("\n", position, end)
                position = end
                found = CANDIDATES.search(text, end)
                continue
        plain = " ".join(found[0].split())
        found = CANDIDATES.search(text, found.end())
        key = plain_key(plain)
        if report and key and _fits(report, *key):
            report.lines.append((line, plain))
            report.keys.append(key)
            continue
        if report:
            report.whole = _whole(report)
        report = None
        start = _start(key)
        if start:
            if len(events) - settings >= MOST_REPORTS:
                raise DescriptionError(f"{name}:{line}: more than {MOST_REPORTS} reports; not a "
                                       "console log of a board")
            report = Observation(start[0], name, start[1], [(line, plain)], [key])
            events.append(report)
        elif not key:
            events.append(read_setting(name, line, plain.split("#", 1)[0].split(), settings))
            settings += 1
        else:
            raise DescriptionError(f"{name}:{line}: '{shown(plain, 60)}' belongs to a report whose "
                                   "first lines the log does not show (broken by other output?); "
                                   "save the report again")
    if report:
        report.whole = _whole(report)
    return events

