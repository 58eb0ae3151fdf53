# SPDX-License-Identifier: MIT
"""End-to-end: the RX table reports (-rx_raw, -rx, -rx_by_node) and -clear.

Expected reports come from the small model below, written from the RX entry
format and the report layouts, never from the program's own output."""

import os
import unittest

import rtcase
import rtsim

TABLE = 0xF0010000
ENTRIES = 8192
SHORT_SEP = "-" * 54 + "\n"
SEP = "-" * 138 + "\n"
DEST_FIELD = 0x07FFC000
CHANNEL = 0x1FFF

# The nodes of the RX reports, in report order: name and destination-link bit.
REPORT_NODES = [
    ("DSP0>L5 ", 1 << 21), ("DSP1>L7 ", 1 << 23), ("DSP2>L1 ", 1 << 17),
    ("DSP3>L3 ", 1 << 19), ("SMAC>L8 ", 1 << 24), ("HMAC0>L10 ", 1 << 26),
    ("I/O>L12 ", 1 << 28), ("Mezz>L14 ", 1 << 30), ("HMAC1>L16 ", 1 << 14),
]
DSP0_L4 = 1 << 20  # a real link bit that no report shows
IO, MEZZ = 1 << 28, 1 << 30


def node_entries(rx, bit):
    """(address, channel) of the node's entries; only indexes 0..9 are examined."""
    return [(TABLE + 4 * i, rx.get(i, 0) & CHANNEL)
            for i in range(10) if rx.get(i, 0) & DEST_FIELD == bit]


def raw_report(rx):
    lines = [SHORT_SEP, "Address \t\tValue\n"]
    lines += ["0x%08X\t\t0x%08X\n" % (TABLE + 4 * i, rx.get(i, 0)) for i in range(ENTRIES)]
    return "".join(lines)


def grid_report(rx):
    columns = [node_entries(rx, bit) for _, bit in REPORT_NODES]
    out = SEP + " RX Table - VE channel " + "\t" * 10 + "\n" + SEP
    out += "".join(name + "\t" for name, _ in REPORT_NODES) + "\n" + SEP
    for row in range(max(map(len, columns))):
        out += "".join("%04d\t\t" % col[row][1] if row < len(col) else "0000\t\t"
                       for col in columns) + "\n"
    return out


def by_node_report(rx):
    out = ""
    for name, bit in REPORT_NODES:
        out += SHORT_SEP + "Node : %s\n" % name + SHORT_SEP + "Address \t\tChannel \n"
        out += "".join("0x%08X\t\t%d\n" % pair for pair in node_entries(rx, bit))
    return out


REPORTS = {"-rx_raw": raw_report, "-rx": grid_report, "-rx_by_node": by_node_report}

# Words outside the table that no RX command may touch: registers, the last
# word of the register page and the words just before the table.
AROUND = {0x34: 0x0000FFFF, 0x240: 0xFFFFFFFF, 0xFFC: 0x13579BDF,
          0xFFF8: 0xA5A5A5A5, 0xFFFC: 0x00204001}

BOARDS = {
    "empty": {},
    # Bit 13 and bits 27-31 are not part of the channel or the destination.
    "noise": {0: 0x80202005, 1: 0x08002000 | 12, 3: 0x00201ABC,
              5: 0xF8002000 | (1 << 26), 9: 0xFFFFFFFF & ~DEST_FIELD | (1 << 14)},
    # Two destination bits, or a zero field, belong to no node.
    "two_bits": {0: 0x00300005, 1: 0x00A00006, 2: 0x00204007, 3: 0x00200009, 4: 0x00000011},
    # One entry for each report node, the hidden DSP0>L4, I/O and Mezz bits
    # (outside the destination field), and entries past index 9 (raw only).
    "every_node": {0: (1 << 21) | 0, 1: (1 << 23) | 5, 2: (1 << 17) | 8191,
                   3: (1 << 19) | 1234, 4: (1 << 24) | 10, 5: (1 << 26) | 99,
                   6: IO | 3, 7: MEZZ | 4, 8: (1 << 14) | 16, 9: DSP0_L4 | 20,
                   10: (1 << 21) | 11, 4095: (1 << 14) | 77, 8191: (1 << 14) | 8191},
    # Columns of different lengths, one node repeating a channel.
    "uneven": {0: (1 << 21) | 7, 1: (1 << 24) | 1, 2: (1 << 21) | 7, 3: (1 << 24) | 2,
               4: (1 << 21) | 300, 5: (1 << 14) | 5, 6: (1 << 24) | 3, 7: (1 << 21) | 0,
               9: (1 << 19) | 65, 12: (1 << 21) | 1},
}


def snapshot(bench):
    """The data extents of the image and the bytes they hold."""
    extents = rtsim.data_extents(bench.image)
    with open(bench.image, "rb") as f:
        data = {}
        for start, end in extents:
            f.seek(start)
            data[start] = f.read(end - start)
    return os.path.getsize(bench.image), extents, data


class RxTest(rtcase.RtprobeCase):

    def test_model_matches_hand_written_lines(self):
        rx = BOARDS["noise"]
        self.assertIn("0xF001000C\t\t0x00201ABC\n", raw_report(rx))
        self.assertIn("0xF0017FFC\t\t0x00000000\n", raw_report(rx))
        self.assertIn("0xF0010000\t\t5\n0xF001000C\t\t6844\n", by_node_report(rx))
        self.assertIn("0005\t\t0000\t\t", grid_report(rx))
        self.assertEqual(grid_report({}).count("\n"), 5)

    def test_reports_match_model_and_leave_image_unchanged(self):
        for name, rx in BOARDS.items():
            bench = self.bench(rtsim.Board(regs=dict(AROUND), rx=rx))
            before = snapshot(bench)
            for option, model in REPORTS.items():
                with self.subTest(board=name, option=option):
                    result = bench.run([option])
                    self.assertEqual(result.stderr, b"")
                    self.assertEqual(result.status, 0)
                    self.assertOutput(result.stdout, model(rx), f"{option} on {name}")
                    self.assertEqual(snapshot(bench), before, "a report changed the image")

    def test_clear_zeroes_only_the_table(self):
        rx = {i: (i * 0x9E3779B1 & 0xFFFFFFFF) | 1 for i in range(ENTRIES)}
        bench = self.bench(rtsim.Board(regs=dict(AROUND), rx=rx))
        size, extents, data = snapshot(bench)
        result = bench.run(["-clear"])
        self.assertEqual((result.stdout, result.stderr, result.status), (b"", b"", 0))
        self.assertEqual(bench.words(TABLE, ENTRIES), [0] * ENTRIES)
        self.assertEqual(bench.words(TABLE - 8, 2), [0xA5A5A5A5, 0x00204001])
        self.assertEqual(bench.words(rtsim.FPGA_BASE + 0x240, 1), [0xFFFFFFFF])
        # Every byte outside the table as it was; the table now all zero.
        for start, end in extents:
            lo, hi = max(start, TABLE), min(end, TABLE + 4 * ENTRIES)
            if lo < hi:
                data[start] = data[start][:lo - start] + bytes(hi - lo) + data[start][hi - start:]
        self.assertEqual(snapshot(bench), (size, extents, data))


if __name__ == "__main__":
    unittest.main()
