# SPDX-License-Identifier: MIT
# rtprobe's reports, modelled from their documented layouts (texts.txt) and
# bit assignments, never from its output.

import codecs
import os
import re

TABLE = 0xF0010000
# The nodes of the RX reports in report order, and their destination bits.
NODES = "DSP0>L5 DSP1>L7 DSP2>L1 DSP3>L3 SMAC>L8 HMAC0>L10 I/O>L12 Mezz>L14 HMAC1>L16"
NODE_BITS = [21, 23, 17, 19, 24, 26, 28, 30, 14]
# The link numbers n of the MGT columns. Run and loopback are bit n, data
# 16 + n, clock lock 8 + n, and clock run the even bit of the link's pair.
RUN = [5, 4, 7, 6, 1, 0, 3, 2]
DATA = [16 + n for n in RUN]
LOCK = [8 + n for n in RUN]
PAIR = [n & ~1 for n in RUN]


def read_texts():
    # Each text starts at a [name] line and ends before the next one.
    with open(os.path.join(os.path.dirname(__file__), "texts.txt")) as f:
        found = re.findall(r"(?ms)^\[(\w+)\]\n(.*?)\n*(?=^\[|\Z)", f.read())
    texts = {"-": ""}
    for name, text in found:
        texts[name] = codecs.decode(text + "\n", "unicode_escape")
    return texts


TEXTS = read_texts()


def node_entries(board, bit):
    # Entries 0 to 9 routed to the node: (address, channel).
    found = []
    for i in range(10):
        word = board.rx.get(i, 0)
        if word & 0x07FFC000 == 1 << bit:
            found.append((TABLE + 4 * i, word & 0x1FFF))
    return found


def rx_raw(board):
    text = TEXTS["rx_raw"]
    for i in range(8192):
        text += "0x%08X\t\t0x%08X\n" % (TABLE + 4 * i, board.rx.get(i, 0))
    return text


def rx_grid(board):
    columns = [node_entries(board, bit) for bit in NODE_BITS]
    text = TEXTS["rx"]
    for r in range(max(map(len, columns))):
        for column in columns:
            channel = column[r][1] if r < len(column) else 0
            text += "%04d\t\t" % channel
        text += "\n"
    return text


def rx_by_node(board):
    text = ""
    for name, bit in zip(NODES.split(), NODE_BITS):
        text += TEXTS["node"] % name
        for entry in node_entries(board, bit):
            text += "0x%08X\t\t%d\n" % entry
    return text


def flags(board, offset, bits):
    word = board.regs.get(offset, 0)
    text = ""
    for bit in bits:
        text += "%d\t\t" % (word >> bit & 1)
    return text


def mgt_status(board):
    # Tx status at 0x240, Rx at 0x244, clock at 0x220.
    cells = (flags(board, 0x240, RUN), flags(board, 0x240, DATA),
             flags(board, 0x244, RUN), flags(board, 0x244, DATA),
             flags(board, 0x220, LOCK), flags(board, 0x220, PAIR))
    return TEXTS["mgt_status"] % cells


def mgt_loopback(board):
    # Far loopback at 0x34, near at 0x38.
    cells = (flags(board, 0x34, RUN), flags(board, 0x38, RUN))
    return TEXTS["mgt_loopback"] % cells


REPORTS = {"rx_raw": rx_raw, "rx": rx_grid, "rx_by_node": rx_by_node,
           "mgt_status": mgt_status, "mgt_loopback": mgt_loopback}


def expected(board, report):
    # A report of the board, or a fixed text and its cells.
    name, *cells = report.split()
    if name in REPORTS:
        return REPORTS[name](board)
    return TEXTS[name] % tuple(cells)
