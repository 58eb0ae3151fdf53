# SPDX-License-Identifier: MIT
"""End-to-end: the MGT link status (-mgt_status) and loopback (-mgt_loopback)
reports.

Expected reports come from the small model below, which derives every flag
from the link number of each DSP link, never from the program's output."""

import unittest

import rtcase
import rtsim

SEP = "-" * 138 + "\n"
TX, RX, CLOCK, FAR, NEAR = 0x240, 0x244, 0x220, 0x34, 0x38

# The eight DSP links in column order: name and link number n.
LINKS = [("DSP0>L5 ", 5), ("DSP0>L4 ", 4), ("DSP1>L7 ", 7), ("DSP1>L6 ", 6),
         ("DSP2>L1 ", 1), ("DSP2>L0 ", 0), ("DSP3>L3 ", 3), ("DSP3>L2 ", 2)]

# Bit of each flag for link n: run n, data 16 + n, clock lock 8 + n, clock
# run shared by the pair (bit n rounded down to even), loopback n.
RUN = lambda n: 1 << n
DATA = lambda n: 1 << (16 + n)
LOCK = lambda n: 1 << (8 + n)
PAIR_RUN = lambda n: 1 << (n & ~1)


def section(title, rows):
    out = SEP + " " + title + " " * 38 + "\n" + SEP
    out += "\t" + "".join(name + "\t" for name, _ in LINKS) + "\n\n"
    for label, bit, word in rows:
        out += label + "".join("%d\t\t" % bool(word & bit(n)) for _, n in LINKS) + "\n"
    return out + "\n"


def status_report(regs):
    tx, rx, clock = (regs.get(offset, 0) for offset in (TX, RX, CLOCK))
    return (section("MGT Link Tx Status (1 - true, 0 - false)",
                    [("Run:\t", RUN, tx), ("Data:\t", DATA, tx)])
            + section("MGT Link Rx Status (1 - true, 0 - false)",
                      [("Run:\t", RUN, rx), ("Data:\t", DATA, rx)])
            + section("MGT Link Clock Status (1 - true, 0 - false)",
                      [("Lock:\t", LOCK, clock), ("Run:\t", PAIR_RUN, clock)]))


def loopback_report(regs):
    far, near = regs.get(FAR, 0), regs.get(NEAR, 0)
    return "\n\n" + section("MGT Link Loopback Status (1 - loopback on, 0 - normal operation)",
                            [("Far:\t", RUN, far), ("Near:\t", RUN, near)])


REPORTS = {"-mgt_status": status_report, "-mgt_loopback": loopback_report}

# The words next to each register are set, so that a read one word off shows.
NEIGHBOURS = {offset: 0xFFFFFFFF for offset in
              (0x0, 0x30, 0x3C, 0x21C, 0x224, 0x23C, 0x248, 0xFFC)}
ONES = 0xFFFFFFFF

CASES = {
    "all_zero": {},
    "all_ones": {TX: ONES, RX: ONES, CLOCK: ONES, FAR: ONES, NEAR: ONES},
    "tx_run_L5": {TX: 0x20},
    "tx_data_L5": {TX: 0x200000},
    "clock_run_L4_L5": {CLOCK: 0x10},
    "clock_lock_L0": {CLOCK: 0x100},
    "uncovered_bits": {TX: 0xFF00FF00, RX: 0xFF00FF00, CLOCK: 0xFFFF00AA,
                       FAR: 0xFFFFFF00, NEAR: 0xFFFFFF00},
    "far_L0_only": {FAR: 0x1, NEAR: 0x0},
    # Each register different, none symmetric under a byte swap.
    "distinct": {TX: 0x00C30021, RX: 0x003C0084, CLOCK: 0x0000A541,
                 FAR: 0x00000099, NEAR: 0x00000066},
}


class MgtTest(rtcase.RtprobeCase):

    def test_model_matches_hand_written_lines(self):
        zeros = "0\t\t" * 8 + "\n"
        tx = status_report({TX: 0x20}).split("\n")
        self.assertEqual(tx[5:7], ["Run:\t1\t\t" + "0\t\t" * 7, "Data:\t" + zeros[:-1]])
        clock = status_report({CLOCK: 0x10})
        self.assertIn("Lock:\t" + zeros + "Run:\t1\t\t1\t\t" + "0\t\t" * 6 + "\n", clock)
        self.assertIn("Lock:\t" + "0\t\t" * 5 + "1\t\t0\t\t0\t\t\n", status_report({CLOCK: 0x100}))
        self.assertEqual([len(line) for line in clock.split("\n") if line.startswith(" ")],
                         [79, 79, 82])
        loop = loopback_report({FAR: 1})
        self.assertTrue(loop.startswith("\n\n" + SEP))
        self.assertIn("Far:\t" + "0\t\t" * 5 + "1\t\t0\t\t0\t\t\nNear:\t" + zeros + "\n", loop)
        self.assertEqual(len(loop.split("\n")[3]), 103)

    def test_reports_match_model_and_leave_image_unchanged(self):
        for name, regs in CASES.items():
            board = rtsim.Board(regs={**NEIGHBOURS, **regs}, rx={0: 0x00201ABC})
            bench = self.bench(board)
            page = bench.words(rtsim.FPGA_BASE, 1024)
            extents = rtsim.data_extents(bench.image)
            for option, model in REPORTS.items():
                with self.subTest(case=name, option=option):
                    result = bench.run([option])
                    self.assertEqual(result.stderr, b"")
                    self.assertEqual(result.status, 0)
                    self.assertOutput(result.stdout, model(regs), f"{option} on {name}")
                    self.assertEqual(bench.words(rtsim.FPGA_BASE, 1024), page)
                    self.assertEqual(bench.words(rtsim.RX_TABLE, 2), [0x00201ABC, 0])
                    self.assertEqual(rtsim.data_extents(bench.image), extents)


if __name__ == "__main__":
    unittest.main()
