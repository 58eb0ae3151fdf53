# SPDX-License-Identifier: MIT
"""rtsim's own rendering of the reports rtprobe prints from a board: the RX
table raw, as a grid and by node, the MGT link status and loopback. A
capture is compared with what these print for the board built from it."""

import itertools
import re

from .layout import DSP_LINKS, FLAGS, NODES, REGISTERS, RX_ENTRIES, RX_TABLE, flag_bit

SHORT_LINE = "-" * 54
LINE = "-" * 138
# The nodes the RX views print, in their order, and the field of an entry
# that names its destination.
VIEW_NODES = (0, 2, 4, 6, 8, 9, 10, 11, 12)
DESTINATION = 0x07FFC000
CHANNEL = 0x1FFF
VIEWED = 10  # the views show the first ten entries only

# Each MGT section: its title, then its two rows' labels and flags.
SECTIONS = (
    ("MGT Link Tx Status (1 - true, 0 - false)", ("Run:", "tx_run"), ("Data:", "tx_data")),
    ("MGT Link Rx Status (1 - true, 0 - false)", ("Run:", "rx_run"), ("Data:", "rx_data")),
    ("MGT Link Clock Status (1 - true, 0 - false)", ("Lock:", "clock_lock"),
     ("Run:", "clock_run")),
    ("MGT Link Loopback Status (1 - loopback on, 0 - normal operation)", ("Far:", "far"),
     ("Near:", "near")),
)


def node_entries(board, node):
    """(address, channel) of the entries among the first ten routed to a node."""
    bit = NODES[node][1]
    words = [board.rx.get(index, 0) for index in range(VIEWED)]
    return [(RX_TABLE + 4 * index, word & CHANNEL) for index, word in enumerate(words)
            if word & DESTINATION == bit]


def rx_raw(board, skip=0):
    """The -rx_raw report; skip: entries left out after the header (lines
    compared from far into the table need not render those before)."""
    yield SHORT_LINE
    yield "Address \t\tValue"
    for index in range(skip, RX_ENTRIES):
        yield "0x%08X\t\t0x%08X" % (RX_TABLE + 4 * index, board.rx.get(index, 0))


def rx_grid(board):
    columns = [node_entries(board, node) for node in VIEW_NODES]
    yield LINE
    yield " RX Table - VE channel " + "\t" * 10
    yield LINE
    yield "".join(NODES[node][0] + " \t" for node in VIEW_NODES)
    yield LINE
    for row in range(max(map(len, columns))):
        yield "".join("%04d\t\t" % (column[row][1] if row < len(column) else 0)
                      for column in columns)


def rx_by_node(board):
    for node in VIEW_NODES:
        yield SHORT_LINE
        yield f"Node : {NODES[node][0]} "
        yield SHORT_LINE
        yield "Address \t\tChannel "
        for address, channel in node_entries(board, node):
            yield "0x%08X\t\t%d" % (address, channel)


def _section(board, title, *rows):
    yield LINE
    yield f" {title}" + " " * 38
    yield LINE
    yield "\t" + "".join(name + " \t" for name in DSP_LINKS)
    yield ""
    for label, flag in rows:
        word = board.regs.get(REGISTERS[FLAGS[flag][0]], 0)
        yield label + "\t" + "".join(
            "%d\t\t" % bool(word & flag_bit(flag, link)) for link in range(8))
    yield ""


def mgt_status(board):
    for section in SECTIONS[:3]:
        yield from _section(board, *section)


def mgt_loopback(board):
    yield ""
    yield ""
    yield from _section(board, *SECTIONS[3])


REPORTS = {"rx_raw": rx_raw, "rx": rx_grid, "rx_by_node": rx_by_node,
           "mgt_status": mgt_status, "mgt_loopback": mgt_loopback}


BLANKS = re.compile(r"[ \t]+")


def shown_lines(board, kind, first, count):
    """Lines first to first + count of a report of the board as they are
    compared: blanks and tabs as one blank, none at the ends, without the
    lines that tell nothing of the board (empty ones, separators)."""
    # An -rx_raw line from the second on is entry first - 1: those before it
    # are not rendered, so that a log of many short reports costs no more
    # than its lines.
    skip = max(first - 1, 0) if kind == "rx_raw" else 0
    report = rx_raw(board, skip) if skip else REPORTS[kind](board)
    first -= skip
    lines = itertools.islice(report, 2 * (first + count) + 10)  # enough
    text = BLANKS.sub(" ", "\n".join(lines))
    shown = [line.strip() for line in text.split("\n")]
    return [line for line in shown if line.strip("-")][first:first + count]
