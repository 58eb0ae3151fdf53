# SPDX-License-Identifier: MIT
"""Command line of rtprobe, end to end: option precedence, numeric arguments,
usage text, TX warning, VE RAM commands and exit statuses, run on the
simulated board."""

import os
import unittest

import rtcase
from rtcase import rtsim

USAGE = "".join(line + "\n" for line in [
    "rtprobe [-rx_raw / -rx / -rx_by_node / -tx / -tx_node n]",
    "\t-rx_raw \t: Print raw (hex) content of Rx Table",
    "\t-rx  \t\t: Print 'prettified' rx table ",
    "\t-rx_by_node : Print rx table re-grouped by destination node",
    "\t-read n\t<m>\t: Print contents of VE RAM Channel n <to n+m>",
    "\t-mgt_status : Print Tx, Rx and clock status of the DSP MGT links",
    "\t-write n val <m>: Write val to VE RAM channel n (to n+m) brick",
    "\t-no_write   : Disable nodes writing into VE",
    "\t-no_read \t: Disable nodes reading from VE",
    "\t-normal \t: Allow nodes to read & write from / to VE",
    "\t-write_kp ch <n=1>: Write known pattern data to VE RAM channel ch to ch+n ",
    "\t-clear\t\t: clear all tx & rx routing tables ",
]).encode()

TX_WARNING = b"\n WARNING: TX tables are in the Audio fpga on the QX730 board!!!\n\n"
MMAP_ERROR = b"ERROR : Failed to mmap\n"
HARDWARE_COMMANDS = ["-rx_raw", "-rx", "-rx_by_node", "-clear", "-mgt_status", "-mgt_loopback"]
RX_TABLE = 0xF0010000

# Entries 0..9 are the ones the grid examines; entry 12 is beyond them.
ROUTED = rtsim.parse_board("""
    route 0 DSP0>L5 5
    route 1 SMAC>L8 17
    rx    3 0x00201ABC        # DSP0>L5, channel 6844
    route 9 HMAC1>L16 8191
    route 12 DSP1>L7 42
""")
ROUTED_WORDS = [ROUTED.rx.get(i, 0) for i in range(16)]

RULE = b"-" * 138 + b"\n"
GRID = (RULE + b" RX Table - VE channel " + b"\t" * 10 + b"\n" + RULE
        + b"DSP0>L5 \tDSP1>L7 \tDSP2>L1 \tDSP3>L3 \tSMAC>L8 \tHMAC0>L10 \t"
          b"I/O>L12 \tMezz>L14 \tHMAC1>L16 \t\n" + RULE
        + b"0005\t\t0000\t\t0000\t\t0000\t\t0017\t\t0000\t\t0000\t\t0000\t\t8191\t\t\n"
        + b"6844\t\t0000\t\t0000\t\t0000\t\t0000\t\t0000\t\t0000\t\t0000\t\t0000\t\t\n")


def raw_report(words):
    lines = [b"-" * 54, b"Address \t\tValue"]
    lines += [b"0x%08X\t\t0x%08X" % (RX_TABLE + 4 * i, words.get(i, 0)) for i in range(8192)]
    return b"\n".join(lines) + b"\n"


def ve_line(channel, channels):
    return (b"VE Channel %d: no data (VE RAM read supplied 0 of %d words)\n"
            % (channel, 8 * channels))


class CommandLineTest(rtcase.RtprobeCase):

    def check(self, cases, device="image"):
        """cases: (arguments, expected stdout, expected status)."""
        for args, stdout, status in cases:
            shown = [a if len(a) < 40 else a[:20] + "..." for a in args[:12]]
            shown += [f"... {len(args)} in all"] if len(args) > 12 else []
            with self.subTest(args=shown, device=device):
                result = self.run_tool(*args, device=device)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, status)

    def test_usage_for_a_bad_command_line(self):
        bad = [
            [], ["-rx_ra"], ["-RX"], ["--rx"], ["rx"], ["-rx="], ["-rx "], [" -rx"],
            ["-tx_nod", "1"], ["-Read", "1"], ["-mgt_loopbac"],
            ["-read"], ["-read", "abc"], ["-read", "-1"], ["-read", "-0x10"],
            ["-read", " 12"], ["-read", "2147483648"], ["-read", "4026597376"],
            ["-write"], ["-write", "5"], ["-write", "5", "abc"], ["-write", "5", "-1"],
            ["-write", "abc", "1"], ["-write", "-1", "2"],
            ["-tx_node"], ["-tx_node", "-1"], ["-tx_node", "x7"],
            ["-write_kp"], ["-write_kp", "-3"], ["-write_kp", "xyz", "2"],
            # The option highest in the list decides, even when it then fails.
            ["-read", "-write", "1", "2"], ["-write", "5", "-write_kp", "3"],
            ["-tx_node", "-read", "1"],
        ]
        self.check([(args, USAGE, 255) for args in bad])

    def test_tx_warning(self):
        cases = [["-tx"], ["-tx", "7"], ["-tx_node", "7"], ["-tx_node", "0x10"],
                 ["-tx_node", "-tx"], ["-tx", "-read", "1"], ["-read", "1", "-tx_node", "3"],
                 ["-tx_node", "abc", "-tx"], ["-tx", "-no_write", "-normal"]]
        self.check([(args, TX_WARNING, 0) for args in cases], device="missing")

    def test_ve_commands_touch_no_device(self):
        silent = [
            ["-no_write"], ["-no_read"], ["-normal"], ["foo", "-no_read", "bar"],
            ["-write", "1", "2"], ["-write", "1", "2", "3"], ["-write", "0xFFFFFFFF", "0xffffffff"],
            ["-write_kp", "3"], ["-write_kp", "3", "4"], ["-write_kp", "3", "abc"],
            ["-write_kp", "3", "-1"], ["-write_kp", "0x"],
            ["-normal", "-no_write"], ["-no_read", "-no_write"], ["-write_kp", "3", "-write", "1", "2"],
            ["-no_read", "-write_kp", "1"], ["-mgt_status", "-no_read"], ["-clear", "-normal"],
            ["-read", "4", "0"], ["-read", "0x0", "0x0"],
        ]
        read = [
            (["-read", "4"], 4, 1), (["-read", "0x10", "2"], 16, 2), (["-read", "4", "abc"], 4, 1),
            (["-read", "4", "-2"], 4, 1), (["-read", "1", "-read", "2"], 1, 1),
            (["-read", "0", "0xFFFFFFFF"], 0, 0xFFFFFFFF), (["-read", "5", "0x80000000"], 5, 1 << 31),
            (["-read", "5", "2147483648"], 5, 1), (["-read", "5", "2147483647"], 5, 2147483647),
            (["-read", "0X1f"], 31, 1), (["-read", "0x1Fzz", "3"], 31, 3), (["-read", "010"], 10, 1),
            (["-read", "+7", "12abc"], 7, 12), (["-read", "0x"], 0, 1), (["-read", "0x7FFFFFFF"], 2147483647, 1),
            (["-read", "2", "-clear"], 2, 1), (["-write", "9", "9", "-read", "3", "-write_kp"], 3, 1),
            (["-mgt_loopback", "-read", "6", " 2"], 6, 1), (["-rx_ra", "-read", "8", "3", "-rx_by_nod"], 8, 3),
        ]
        cases = [(args, b"", 0) for args in silent]
        cases += [(args, ve_line(channel, count), 0) for args, channel, count in read]
        self.check(cases, device="missing")

    def test_hardware_commands_without_a_device(self):
        cases = [[c] for c in HARDWARE_COMMANDS]
        cases += [["-rx_by_node", "-tx"], ["-tx_node", "3", "-rx"], ["-clear", "-mgt_status"],
                  ["-read", "1", "-rx_raw"], ["-mgt_loopback", "-mgt_status"]]
        for device in ("missing", "unmappable"):
            for args in cases:
                with self.subTest(args=args, device=device):
                    result = self.run_tool(*args, device=device)
                    self.assertEqual(result.stdout, MMAP_ERROR)
                    self.assertTrue(0 < result.status < 255, result.status)

    def test_rx_reports_win_over_clear(self):
        cases = [
            (["-clear", "-rx"], GRID, ROUTED_WORDS),
            (["-rx", "-clear"], GRID, ROUTED_WORDS),
            (["-rx_by_node", "-rx"], GRID, ROUTED_WORDS),
            (["-rx", "-rx_raw", "-clear"], raw_report(ROUTED.rx), ROUTED_WORDS),
            (["-clear"], b"", [0] * 16),  # shows that the board notices a clear
        ]
        for args, stdout, words in cases:
            with self.subTest(args=args):
                bench = self.bench(ROUTED)
                result = bench.run(args)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 0)
                self.assertEqual(bench.words(RX_TABLE, 16), words)

    def test_many_long_and_odd_arguments(self):
        longest = 128 * 1024 - 1  # the kernel's limit for one argument, NUL included
        raw = os.fsdecode
        cases = [
            (["x"] * 10000, USAGE, 255),
            (["-rx_ra"] * 10000, USAGE, 255),
            (["x"] * 9999 + ["-no_read"], b"", 0),
            (["-read", "3"] + ["-read"] * 9998, ve_line(3, 1), 0),
            (["a" * longest], USAGE, 255),
            (["-" + "r" * (longest - 1)], USAGE, 255),
            (["-read", "1" * longest], USAGE, 255),
            (["-read", "7", "9" * longest], ve_line(7, 1), 0),
            (["-read", "0x" + "0" * (longest - 4) + "1F", "2"], ve_line(31, 2), 0),
            (["z" * longest] * 8 + ["-normal"], b"", 0),  # 1 MiB of arguments in all
            ([raw(b"\xff\xfe")], USAGE, 255),
            ([raw(b"-rx\xff")], USAGE, 255),
            (["-read", raw(b"\xff")], USAGE, 255),
            (["-read", "5", raw(b"\xfe\xff")], ve_line(5, 1), 0),
            (["-read", raw(b"0x1F\xff"), "2"], ve_line(31, 2), 0),
            ([raw(b"\x80"), "-no_write", raw(b"\xc3\x28")], b"", 0),
            ([""], USAGE, 255),
            (["-read", ""], USAGE, 255),
            (["-tx_node", ""], USAGE, 255),
            (["-write", "1", ""], USAGE, 255),
            (["-read", "3", ""], ve_line(3, 1), 0),
            (["", "-no_read", ""], b"", 0),
            (["-write_kp", "2", "", "-no_read"], b"", 0),
        ]
        self.check(cases, device="missing")


if __name__ == "__main__":
    unittest.main()
