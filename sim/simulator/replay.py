# SPDX-License-Identifier: MIT
"""The board a timeline of reports and settings shows, and the check that it
prints back what it came from.

The rule: the board is the last state the files show. Each part of it (the
RX table, the status registers, the loopback registers) is set by the last
whole report of it; with none so far, by the reports cut short, a later one
winning entry by entry. Every report that no later whole report stands over
is then compared, line by line, with what the board built prints; the
first line that differs is refused. A setting changes the board after the
reports before it were checked."""

import collections

from .capture import Observation
from .description import DescriptionError, shown
from .layout import FLAGS, REGISTERS, RX_ENTRIES, RX_TABLE, flag_bit
from .reports import SECTIONS, shown_lines

PART = {"rx_raw": "rx", "rx": "rx", "rx_by_node": "rx",
        "mgt_status": "status", "mgt_loopback": "loopback"}
# The views: they show too little of the table to set it.
LOSSY = {"rx": "an -rx grid shows only the channels of the first ten entries",
         "rx_by_node": "an -rx_by_node report shows only the first ten entries"}
# The first section each MGT report prints.
FIRST_SECTION = {"mgt_status": 0, "mgt_loopback": 3}
# How many rows show each register: two a status register, one a loopback one.
ROWS = collections.Counter(REGISTERS[FLAGS[flag][0]] for _, *rows in SECTIONS for _, flag in rows)
ADVICE = ("keep the log's reports of one board at one moment, or end it with whole "
          "reports of the board to replay")


def _registers(report):
    """Register offset -> value, for the registers all of whose rows the report shows."""
    ones, rows = {}, {}
    for at, (_, text) in enumerate(report.lines, report.first):
        if at % 4 < 2:
            continue  # a title or the links' names
        _, *row = SECTIONS[FIRST_SECTION[report.kind] + at // 4]
        flag = row[at % 4 - 2][1]
        offset = REGISTERS[FLAGS[flag][0]]
        rows[offset] = rows.get(offset, 0) + 1
        ones[offset] = ones.get(offset, 0)
        for link, digit in enumerate(text.split()[1:]):
            ones[offset] |= flag_bit(flag, link) if digit == "1" else 0
    return {offset: value for offset, value in ones.items() if rows[offset] == ROWS[offset]}


def _apply(board, report):
    if report.kind == "rx_raw":
        board.rx.update(report.values())
    elif report.kind in FIRST_SECTION:
        board.regs.update(_registers(report))


def _differs(board, report, rendered):
    """The refusal for the first line of a report that the board prints
    otherwise, or None. rendered: the board's short reports, each printed once."""
    count, first, kind = len(report.lines), report.first, report.kind
    if kind != "rx_raw" and kind not in rendered:
        rendered[kind] = shown_lines(board, kind, 0, RX_ENTRIES)
    if first is None:  # a list by node from a node on: where that node's section starts
        first = rendered[kind].index(report.lines[0][1])
    printed = (rendered[kind][first:first + count + 1] if kind in rendered
               else shown_lines(board, kind, first, count + 1))
    for index, (line, text) in enumerate(report.lines):
        expected = printed[index] if index < len(printed) else None
        if text != expected:
            return _refusal(report.name, line, f"'{shown(text, 60)}'", expected)
    if report.whole and report.kind in LOSSY and len(printed) > count:
        return _refusal(report.name, report.stop, f"the -{report.kind} report's end",
                        printed[count])
    return None


def _refusal(name, line, shows, expected):
    prints = f"'{shown(expected, 60)}'" if expected else "no such line"
    return DescriptionError(f"{name}:{line}: the log shows {shows} here, but the board built "
                            f"from it prints {prints}; {ADVICE}")


def _standing(reports):
    """The reports of a moment (between two settings) that no later whole
    report stands over, and the parts a whole report of them gives."""
    last = {PART[report.kind]: index for index, report in enumerate(reports)
            if report.whole and report.kind not in LOSSY}
    return [report for index, report in enumerate(reports)
            if index >= last.get(PART[report.kind], 0)], set(last)


def _build(board, standing, whole):
    """Sets the board from the reports standing: each whole one, and those
    cut short of a part no whole report gives."""
    for report in standing:
        if report.whole or PART[report.kind] not in whole:
            _apply(board, report)


def _check(board, standing):
    """The refusal of the first report standing the board prints otherwise, or None."""
    rendered = {}
    return next(filter(None, (_differs(board, report, rendered) for report in standing)), None)


def _cut(board, events, fill):
    """Refuses a report cut short when nothing else gives what it lacks."""
    reports = [event for event in events if isinstance(event, Observation)]
    views = [report for report in reports if report.kind in LOSSY]
    if views and not any(report.kind == "rx_raw" for report in reports):
        view = views[0]
        raise DescriptionError(f"{view.name}:{view.lines[0][0]}: {LOSSY[view.kind]} for nine "
                               "nodes and cannot be replayed; save -rx_raw for the RX table")
    cut = [report for report in reports if report.kind == "rx_raw" and not report.whole]
    if cut and len(board.rx) < RX_ENTRIES and not fill:
        first = next(entry for entry in range(RX_ENTRIES) if entry not in board.rx)
        # The report that stops where the first entry missing would be, or the last.
        report = next((report for report in cut if report.keys[-1] == ("entry", first - 1)),
                      cut[-1])
        shows = sum(key == "entry" for key, _ in report.keys)
        raise DescriptionError(
            f"{report.name}:{report.stop}: the -rx_raw report stops after {shows} of "
            f"{RX_ENTRIES} entries, 0x{RX_TABLE + 4 * first:08X} missing; save it whole, "
            "or --fill-zero sets what no report gives to 0")
    for report in reversed(reports):
        if report.whole or report.kind not in FIRST_SECTION:
            continue
        first = FIRST_SECTION[report.kind]
        for title, *rows in SECTIONS[first:first + (3 if first == 0 else 1)]:
            if any(REGISTERS[FLAGS[flag][0]] not in board.regs for _, flag in rows):
                raise DescriptionError(f"{report.name}:{report.stop}: the -{report.kind} report "
                                       f"here does not show '{title}' whole; save it whole")


def _one_host(events):
    """Refuses reports under prompts that name two hosts: two boards."""
    named = [event for event in events if getattr(event, "host", None)]
    other = next((report for report in named if report.host != named[0].host), None)
    if other:
        raise DescriptionError(
            f"{other.name}:{other.lines[0][0]}: a report on '{shown(other.host, 20)}' after one "
            f"on '{shown(named[0].host, 20)}' ({named[0].name}:{named[0].lines[0][0]}): two "
            "boards; give rtsim one board's reports")


def replay(board, events, fill):
    """Sets the board from the events of every file in order; refuses what
    the files leave cut short and a report the board would print otherwise."""
    _one_host(events)
    refusal, reports, whole = None, [], set()
    for event in events + [None]:
        if isinstance(event, Observation):
            reports.append(event)
            continue
        if not refusal:
            standing, given = _standing(reports)
            whole |= given
            _build(board, standing, whole)
            refusal = _check(board, standing)
        reports = []
        if event:
            event.change(board)
    _cut(board, events, fill)
    if refusal:
        raise refusal
