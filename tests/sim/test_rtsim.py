# SPDX-License-Identifier: MIT
"""The simulated board itself: descriptions, images and refusals."""

import glob
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
RTSIM = os.path.join(ROOT, "sim", "rtsim.py")
sys.path.insert(0, os.path.join(ROOT, "sim"))

import rtsim  # noqa: E402


class Description(unittest.TestCase):
    def test_settings_land_at_their_addresses(self):
        board = rtsim.parse_board(
            "tx_status 0x00200020  # comment\n"
            "\n"
            "reg 0x34 1\n"
            "rx 8191 0xFFFFFFFF\n"
            "route 3 DSP0>L5 6844\n"
            "route 4 12 5\n"
            "route 5 Mezz>L14 0\n")
        self.assertEqual(board.regs, {0x240: 0x00200020, 0x34: 1})
        self.assertEqual(board.rx, {8191: 0xFFFFFFFF, 3: 0x00201ABC, 4: 0x4005, 5: 0x40000000})

    def test_bad_lines_are_named(self):
        cases = [
            ("tx_status", "cannot read 'tx_status'"),
            ("tx_status 0x1FFFFFFFF", "value 0x1FFFFFFFF is outside"),
            ("reg 0x36 1", "register offset 0x36 is not a multiple of 4"),
            ("reg 0x1000 1", "register offset 0x1000 is outside"),
            ("rx 8192 1", "RX index 8192 is outside"),
            ("rx 1 one", "value 'one' is not a number"),
            ("route 1 DSP9>L0 3", "unknown node 'DSP9>L0'"),
            ("route 1 DSP0>L5 8192", "channel 8192 is outside"),
            ("clear everything", "cannot read 'clear everything'"),
        ]
        for line, message in cases:
            with self.subTest(line=line):
                with self.assertRaises(rtsim.DescriptionError) as caught:
                    rtsim.parse_board("# fine\n" + line + "\n", "b.board")
                self.assertTrue(str(caught.exception).startswith("b.board:2: " + message),
                                str(caught.exception))

    def test_examples_parse(self):
        boards = glob.glob(os.path.join(ROOT, "boards", "*.board"))
        self.assertGreaterEqual(len(boards), 3)
        for path in boards:
            rtsim.load_board(path)


class Command(unittest.TestCase):
    def rtsim(self, *args):
        return subprocess.run([sys.executable, RTSIM, *args], capture_output=True, text=True)

    def test_image_has_words_in_the_chosen_byte_order(self):
        with tempfile.TemporaryDirectory() as work:
            desc, image = os.path.join(work, "b.board"), os.path.join(work, "b.img")
            with open(desc, "w") as f:
                f.write("rx_status 0x11223344\nrx 8191 0xA1B2C3D4\n")
            for order, regs, last in (("big", b"\x11\x22\x33\x44", b"\xa1\xb2\xc3\xd4"),
                                      ("little", b"\x44\x33\x22\x11", b"\xd4\xc3\xb2\xa1")):
                self.assertEqual(self.rtsim("image", desc, "-o", image, "--byte-order", order)
                                 .returncode, 0)
                self.assertEqual(os.path.getsize(image), 0xF0018000)
                with open(image, "rb") as f:
                    f.seek(0xF0000244)
                    self.assertEqual(f.read(4), regs)
                    f.seek(0xF0017FFC)
                    self.assertEqual(f.read(4), last)

    def test_bad_description_gives_one_line_and_no_image(self):
        with tempfile.TemporaryDirectory() as work:
            desc, image = os.path.join(work, "b.board"), os.path.join(work, "b.img")
            with open(desc, "w") as f:
                f.write("tx_status 1\nrx 9000 1\n")
            done = self.rtsim("image", desc, "-o", image)
            self.assertEqual(done.returncode, 2)
            self.assertEqual(done.stderr, f"rtsim: {desc}:2: RX index 9000 is outside 0x0..0x1fff\n")
            self.assertFalse(os.path.exists(image))

    def test_refuses_to_run_without_its_device(self):
        binary = os.path.join(ROOT, "build", "any")  # never started
        bench = rtsim.Bench.__new__(rtsim.Bench)
        bench.work = tempfile.mkdtemp(prefix="rtsim-test-")
        self.addCleanup(bench.close)
        bench.image = os.path.join(bench.work, "root", "dev", "mem")
        bench.binary, bench.target, bench.device = binary, "host", "image"
        with self.assertRaises(rtsim.IsolationError):
            bench.run(["-clear"])


if __name__ == "__main__":
    unittest.main()
