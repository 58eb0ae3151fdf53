# SPDX-License-Identifier: MIT
# rtprobe's reports, modelled from their documented layouts and bit assignments
# (never from its output), and its fixed texts, kept in texts.txt.

import codecs
import os
import re

TABLE, SEP, SHORT = 0xF0010000, "-" * 138 + "\n", "-" * 54 + "\n"
# The nodes of the RX reports in report order: name, destination-link bit.
RX_NODES = [("DSP0>L5 ", 21), ("DSP1>L7 ", 23), ("DSP2>L1 ", 17), ("DSP3>L3 ", 19),
            ("SMAC>L8 ", 24), ("HMAC0>L10 ", 26), ("I/O>L12 ", 28), ("Mezz>L14 ", 30),
            ("HMAC1>L16 ", 14)]
# The DSP links in column order: name, link number n. Run and loopback are bit n,
# data 16 + n, clock lock 8 + n, clock run the even bit of the link's pair.
LINKS = [("DSP0>L5 ", 5), ("DSP0>L4 ", 4), ("DSP1>L7 ", 7), ("DSP1>L6 ", 6),
         ("DSP2>L1 ", 1), ("DSP2>L0 ", 0), ("DSP3>L3 ", 3), ("DSP3>L2 ", 2)]
RUN, DATA, LOCK, PAIR = (lambda n: n), (lambda n: 16 + n), (lambda n: 8 + n), (lambda n: n & ~1)


def node_entries(rx, bit):  # only entries 0..9 are examined
    return [(TABLE + 4 * i, rx.get(i, 0) & 0x1FFF)
            for i in range(10) if rx.get(i, 0) & 0x07FFC000 == 1 << bit]


def rx_raw(board):
    return SHORT + "Address \t\tValue\n" + "".join(
        "0x%08X\t\t0x%08X\n" % (TABLE + 4 * i, board.rx.get(i, 0)) for i in range(8192))


def rx_grid(board):
    columns = [node_entries(board.rx, bit) for _, bit in RX_NODES]
    rows = ["".join("%04d\t\t" % c[r][1] if r < len(c) else "0000\t\t" for c in columns) + "\n"
            for r in range(max(map(len, columns)))]
    return (SEP + " RX Table - VE channel " + "\t" * 10 + "\n" + SEP
            + "".join(name + "\t" for name, _ in RX_NODES) + "\n" + SEP + "".join(rows))


def rx_by_node(board):
    return "".join(SHORT + "Node : %s\n" % name + SHORT + "Address \t\tChannel \n"
                   + "".join("0x%08X\t\t%d\n" % e for e in node_entries(board.rx, bit))
                   for name, bit in RX_NODES)


def section(title, *rows):
    return (SEP + " " + title + " " * 38 + "\n" + SEP + "\t" + "".join(n + "\t" for n, _ in LINKS)
            + "\n\n" + "".join(label + "".join("%d\t\t" % (word >> bit(n) & 1) for _, n in LINKS)
                               + "\n" for label, word, bit in rows) + "\n")


def mgt_status(board):
    tx, rx, clock = (board.regs.get(offset, 0) for offset in (0x240, 0x244, 0x220))
    title = "MGT Link %s Status (1 - true, 0 - false)"
    return (section(title % "Tx", ("Run:\t", tx, RUN), ("Data:\t", tx, DATA))
            + section(title % "Rx", ("Run:\t", rx, RUN), ("Data:\t", rx, DATA))
            + section(title % "Clock", ("Lock:\t", clock, LOCK), ("Run:\t", clock, PAIR)))


def mgt_loopback(board):
    return "\n\n" + section("MGT Link Loopback Status (1 - loopback on, 0 - normal operation)",
                            ("Far:\t", board.regs.get(0x34, 0), RUN),
                            ("Near:\t", board.regs.get(0x38, 0), RUN))


REPORTS = {"rx_raw": rx_raw, "rx": rx_grid, "rx_by_node": rx_by_node, "mgt_status": mgt_status,
           "mgt_loopback": mgt_loopback, "-": lambda board: "",
           # -read: this system's VE RAM supplies no words, and one line says so.
           "ve": lambda board, channel, count: "VE Channel %s: no data (VE RAM read supplied 0 "
           "of %d words)\n" % (channel, 8 * int(count))}
with open(os.path.join(os.path.dirname(__file__), "texts.txt"), encoding="ascii") as f:
    for name, text in re.findall(r"(?ms)^\[(\w+)\]\n(.*?)\n*(?=^\[|\Z)", f.read()):
        REPORTS[name] = lambda board, text=codecs.decode(text + "\n", "unicode_escape"): text
