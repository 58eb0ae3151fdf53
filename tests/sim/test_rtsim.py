# SPDX-License-Identifier: MIT
"""rtsim: captures, board files and the command, run with RTPROBE."""

import codecs
import contextlib
import io
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
RTSIM = os.path.join(ROOT, "sim", "rtsim.py")
BINARY = os.environ.get("RTPROBE", "")
sys.path[:0] = [os.path.join(ROOT, "sim"), os.path.join(ROOT, "tests", "e2e")]

import model  # noqa: E402
import rtsim  # noqa: E402

HELD = ("rx_raw", "mgt_status", "mgt_loopback")


def table(name, fields):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        rows = [line.rstrip("\n") for line in f]
    return [row.split("\t", fields - 1) for row in rows if row[0] != "#"]


class Lines(str):
    """A report; {name:A:B} in a template takes its lines A to B."""

    def __format__(self, span):
        start, _, end = span.partition(":")
        lines = self.splitlines(True)
        return "".join(lines[int(start or 0):int(end or len(lines))])


class Sim(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(BINARY, os.X_OK), f"RTPROBE={BINARY!r}")
        self.work = self.enterContext(tempfile.TemporaryDirectory())

    def file(self, text):
        path = os.path.join(self.work, "board")
        with open(path, "wb") as f:
            f.write(codecs.escape_decode(text)[0])
        return path

    def test_captures_replay_their_reports_or_are_refused(self):
        rng = random.Random(16)
        regs = {at: rng.getrandbits(32) for at in rtsim.REGISTERS.values()}
        board = rtsim.Board(regs, {i: rng.getrandbits(32) for i in range(8192)})
        board.rx[0] = 0x200001
        reports = {name: Lines(model.REPORTS[name](board)) for name in HELD}
        for options, sub, expected, template in table("captures.tsv", 4):
            with self.subTest(template[:60]):
                text = template.format(**reports)
                pattern, _, replacement = sub.partition("=>")
                if pattern:
                    text = re.sub(pattern, replacement, text)
                path = self.file(text)
                try:
                    replayed = rtsim.load_boards([path])
                except rtsim.DescriptionError as error:
                    self.assertEqual(str(error), expected.replace("FILE", path))
                    continue
                for name in HELD:
                    if name not in template:
                        continue
                    self.assertEqual(model.REPORTS[name](replayed), reports[name])
                    if options == "run":
                        done = rtsim.run(BINARY, ["-" + name], replayed)
                        self.assertEqual(done.stdout.decode(), reports[name])

    def test_board_files_set_their_words_or_name_their_one_fault(self):
        image = os.path.join(self.work, "img")
        for options, text, expected in table("boards.tsv", 3):
            with self.subTest(text[:60]):
                path = self.file(text)
                argv = ["image", *options.split(), path, "-o", image]
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    status = rtsim.main(argv)
                if ":" in expected:
                    error = f"rtsim: {expected.replace('FILE', path)}\n"
                    self.assertEqual((status, stderr.getvalue()), (2, error))
                    continue
                self.assertEqual(status, 0, stderr.getvalue())
                for word in expected.split():
                    address, value = (int(n, 0) for n in word.split("="))
                    got = rtsim.read_words(image, address, 1, "big")
                    self.assertEqual(got, [value], word)

    def test_command_behaves(self):
        target = rtsim.binary_target(BINARY)[0]
        env = {**os.environ, "RTSIM": f"{sys.executable} {RTSIM}"}
        for build, status, stderr, command in table("commands.tsv", 4):
            if build in ("any", target):
                with self.subTest(command):
                    done = subprocess.run(
                        ["sh", "-c", command], capture_output=True, text=True,
                        env=env, cwd=self.work, timeout=60)
                    got = (done.returncode, done.stderr.strip())
                    self.assertEqual(got, (int(status), stderr))

    def test_a_run_ends_inside_its_isolation_whatever_signal_ends_rtsim(self):
        if rtsim.binary_target(BINARY)[0] != "host":
            self.skipTest("the probe is a host shell: once, with the host build, is enough")
        for isolation, name, status in table("signals.tsv", 3):
            with self.subTest(f"{isolation} SIG{name}"):
                got = self.signalled(isolation, name)
                self.assertEqual(got, (int(status), {"started"}, b""))

    def signalled(self, isolation, name):
        """rtsim's status after the signal, the words the probe logged, and
        the PIDs left of the run."""
        log, tag = os.path.join(self.work, "log"), f"probe-{os.getpid()}-{isolation}-{name}"
        open(log, "w").close()
        # Looks at /dev without pause, so that a moment outside the isolation shows.
        probe = f"echo started >{log}; (while :; do sleep 1; done) & " \
                f"while :; do [ -e /dev/zero ] && echo present >>{log}; done"
        rtsim_run = subprocess.Popen(
            [sys.executable, RTSIM, "run", "--isolation", isolation, "/bin/sh", "-c", probe, tag])
        try:
            while rtsim_run.poll() is None and not os.path.getsize(log):
                time.sleep(0.05)
            rtsim_run.send_signal(getattr(signal, "SIG" + name))
            code = rtsim_run.wait(10)
            for _ in range(40):  # the run's end may take a moment after rtsim's
                left = subprocess.run(["pgrep", "-f", tag], capture_output=True).stdout
                if not left:
                    break
                time.sleep(0.05)
        finally:
            subprocess.run(["pkill", "-KILL", "-f", tag])
        with open(log) as f:
            return 128 - code if code < 0 else code, set(f.read().split()), left


if __name__ == "__main__":
    unittest.main()
