# SPDX-License-Identifier: MIT
"""The simulated board: reports read back as boards, the board language and its
refusals, and the command's behaviour; on the build given as RTPROBE."""

import codecs
import glob
import os
import random
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
RTSIM = os.path.join(ROOT, "sim", "rtsim.py")
BINARY = os.environ.get("RTPROBE", "")
REPORTS = ("-rx_raw", "-rx", "-rx_by_node", "-mgt_status", "-mgt_loopback")
sys.path.insert(0, os.path.join(ROOT, "sim"))

import rtsim  # noqa: E402


def table(name, fields):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t", fields - 1) for line in f if line[0] != "#"]


class Sim(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(BINARY, os.X_OK), f"RTPROBE={BINARY!r} is not executable")
        self.work = tempfile.mkdtemp(prefix="rtsim-test-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.work])

    def file(self, name, data):
        Path(self.work, name).write_bytes(data)
        return os.path.join(self.work, name)

    def test_every_report_read_back_gives_the_same_board(self):
        rng = random.Random(12)
        boards = {path: rtsim.load_board(path) for path in glob.glob(f"{ROOT}/boards/*.board")}
        for n in range(2):
            boards[f"random {n}"] = rtsim.Board(
                {offset: rng.getrandbits(32) for offset in rtsim.REGISTERS.values()},
                {i: rng.choice([bit for _, bit in rtsim.NODES]) | rng.getrandbits(14)
                 | rng.getrandbits(5) << 27 for i in range(rtsim.RX_ENTRIES)})
        for name, board in boards.items():
            with self.subTest(board=name):
                saved = {option: rtsim.run(BINARY, [option], board).stdout for option in REPORTS}
                # A console log each: the table in one, the links in the other. The
                # -rx_raw report prints every RX word whole, so equal reports mean equal words.
                logs = [self.file(f"{i}.log", b"".join(
                    b"root@board:~# rtprobe %s\n%s" % (option.encode(), saved[option])
                    for option in options).replace(b"\n", b"\r\n") + b"root@board:~# ")
                    for i, options in enumerate((("-rx", "-rx_raw", "-rx_by_node"), REPORTS[3:]))]
                replayed = rtsim.load_boards(logs)
                for option in REPORTS:
                    self.assertEqual(rtsim.run(BINARY, [option], replayed).stdout, saved[option])

    def test_board_files_set_their_words_or_name_their_one_fault(self):
        for n, (options, text, expected) in enumerate(table("boards.tsv", 3)):
            with self.subTest(text=text[:60]):
                path, image = os.path.join(self.work, f"{n}.board"), os.path.join(self.work, "img")
                if text != "<missing>":
                    self.file(f"{n}.board", codecs.escape_decode(text)[0])
                done = subprocess.run([sys.executable, RTSIM, "image", *options.split(), path,
                                       "-o", image], capture_output=True, text=True)
                if ":" in expected:
                    self.assertEqual((done.returncode, done.stderr, os.path.exists(image)),
                                     (2, f"rtsim: {expected.replace('FILE', path)}\n", False))
                    continue
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                for word in expected.split():
                    address, value = (int(number, 0) for number in word.split("="))
                    self.assertEqual(rtsim.read_words(image, address, 1, "big"), [value], word)
                os.unlink(image)

    def test_command_behaves(self):
        target = rtsim.binary_target(BINARY)[0]
        env = {**os.environ, "RTSIM": f"{sys.executable} {RTSIM}"}
        for build, status, stderr, command in table("commands.tsv", 4):
            if build in ("any", target):
                with self.subTest(command=command):
                    done = subprocess.run(["sh", "-c", command], capture_output=True, text=True,
                                          env=env, cwd=self.work, timeout=60)
                    self.assertEqual((done.returncode, done.stderr.strip()), (int(status), stderr))


if __name__ == "__main__":
    unittest.main()
