# SPDX-License-Identifier: MIT
"""rtsim: captures, board files and the command, run with RTPROBE."""

import codecs
import contextlib
import glob
import io
import os
import random
import re
import shutil
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
from simulator import kernel  # noqa: E402
from test_cases import ISOLATION  # noqa: E402

HELD = ("rx_raw", "mgt_status", "mgt_loopback")
TIMELINES, RUNS = 200, 4
# The part of the board each report shows.
PART = {"rx_raw": "rx", "rx": "rx", "rx_by_node": "rx", "mgt_status": "status",
        "mgt_loopback": "loopback"}
# Views, which cannot set the table alone, less often than the others.
KINDS = ["rx_raw", "rx_raw", "mgt_status", "mgt_loopback", "rx", "rx_by_node"]
NOISE = ["root@board:~# rtprobe -rx_raw | head\n", "\xff\xfe\xff\x00\xffU-Boot 2024.01\n",
         "[   12.345678] usb 1-1: new high-speed USB device number 2\n", "^C\n"]
# What a terminal or logger makes of a log.
STYLES = [
    lambda text: text, lambda text: text.replace("\n", "\r\n"),
    lambda text: text.replace("\n", "\r"), lambda text: text.replace("\t", "    "),
    lambda text: re.sub("(?m)^", "[2026-12-05 10:00:01.123] ", text),
    lambda text: re.sub("(?m)^", "Dec 07 01:38:00 ", text),
    lambda text: re.sub("(?m)^", "[Sun Dec  7 01:38:00 2026] ", text),
]


def table(name, fields):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        rows = [line.rstrip("\n") for line in f]
    return [row.split("\t", fields - 1) for row in rows if row[0] != "#"]


def check_commands(test, builds, env):
    """The rows of commands.tsv for builds, each run by sh in the test's folder."""
    for build, status, stderr, command in table("commands.tsv", 4):
        if build in builds:
            with test.subTest(command):
                done = subprocess.run(["sh", "-c", command], capture_output=True, text=True,
                                      env=env, cwd=test.work, timeout=60)
                got = (done.returncode, done.stderr.strip())
                test.assertEqual(got, (int(status), stderr))


def random_board(rng, flip):
    """A board whose first ten entries route to nodes the views show; flip
    turns its status flags over, so that two boards differ in every one."""
    regs = {at: rng.getrandbits(32) ^ flip for at in rtsim.REGISTERS.values()}
    rx = {index: rng.getrandbits(32) for index in range(8192)}
    for index in range(10):
        rx[index] = 1 << rng.choice(model.NODE_BITS) | rng.getrandbits(13)
    return rtsim.Board(regs, rx)


def report(board, kind, printed={}):
    """The model's report of a board (of the few a test makes, kept once printed)."""
    if (id(board), kind) not in printed:
        printed[id(board), kind] = model.REPORTS[kind](board)
    return printed[id(board), kind]


def timeline(rng, boards):
    """A log of moments of two boards (given with their tables cleared), and
    for each report kind it shows the board its part was in when last shown."""
    text, shown, last, states = "", set(), {}, list(boards[:2])
    for _ in range(rng.randint(1, 5)):
        # Steps: 0 -clear, 1 a report cut short (or many), 2 a kernel message
        # inside a table, between lines or breaking one, 3 a report whose
        # header or title a kernel message broke, else a whole report.
        which, kind, step = rng.randrange(2), rng.choice(KINDS), rng.randrange(6)
        if step == 0:
            states[which] = boards[2 + which]
            text += "root@board:~# rtprobe -clear\n"
            continue
        lines = report(states[which], kind).splitlines(True)
        if step == 1 and kind == "rx_raw" and rng.randrange(3) == 0:
            # Many short reports of the table's end, each compared alone: at
            # worst, the work grows with the reports times the table.
            lines = lines[-2:] * 1000
        elif step == 1 and kind in HELD:
            first = next(n for n, line in enumerate(lines) if re.match("0x|Run|Far", line))
            lines = lines[:rng.randrange(first + 1, len(lines))]
        elif step == 2 and kind == "rx_raw":
            at, column = rng.randrange(3, 8000), rng.choice((0, 14))
            lines[at] = lines[at][:column] + NOISE[2] + lines[at][column:]
        elif step == 3:
            at = next(n for n, line in enumerate(lines) if re.search("[a-z]", line))
            lines[at] = lines[at][:8] + NOISE[2] + lines[at][8:]
        text += rng.choice(NOISE) + "".join(lines)
        shown.add(kind)
        last[PART[kind]] = states[which]
    if not shown:
        return timeline(rng, boards)
    return text, {kind: last[PART[kind]] for kind in shown}


def styled(rng, text):
    """The log's bytes as a terminal or logger saves it."""
    style = rng.randrange(len(STYLES) + 1)
    if style == len(STYLES):
        return text.encode(rng.choice(("utf-16", "utf-16-le")))
    return STYLES[style](text).encode("latin-1")


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
            f.write(text if isinstance(text, bytes) else codecs.escape_decode(text)[0])
        return path

    def test_logs_replay_their_last_moment_or_are_refused(self):
        rng = random.Random(21)
        boards = [random_board(rng, flip) for flip in (0, 0xFFFFFFFF)]
        boards += [rtsim.Board(board.regs, {}) for board in boards]
        for number in range(TIMELINES):
            text, truth = timeline(rng, boards)
            with self.subTest(number=number, log=text[-120:]):
                path = self.file(styled(rng, text))
                try:
                    replayed = rtsim.load_boards([path])
                except rtsim.DescriptionError as error:
                    self.assertRegex(str(error), "^" + re.escape(path) + r":\d+: ")
                    refused = True
                else:
                    refused = False
                    for kind, board in truth.items():
                        self.assertEqual(model.REPORTS[kind](replayed), report(board, kind))
                if number % (TIMELINES // RUNS) == 0:
                    self.run_binary(path, refused, truth)

    def run_binary(self, path, refused, truth):
        """The binary's own report of the replayed board, or the refusal's status."""
        kind, board = sorted(truth.items())[0]
        done = subprocess.run([sys.executable, RTSIM, "run", "--board", path, BINARY, "-" + kind],
                              capture_output=True, text=True, timeout=60)
        if refused:
            self.assertEqual((done.returncode, done.stdout), (2, ""))
        else:
            self.assertEqual((done.returncode, done.stdout), (0, report(board, kind)))

    def test_captures_replay_their_reports_or_are_refused(self):
        board = random_board(random.Random(16), 0)
        reports = {name: Lines(model.REPORTS[name](board)) for name in HELD}
        for sub, expected, template in table("captures.tsv", 3):
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
                self.assertEqual(expected, "ok")
                for name in HELD:
                    if name in template:
                        self.assertEqual(model.REPORTS[name](replayed), reports[name])

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
        scripts = os.path.join(ROOT, "scripts")
        hostile = os.path.join(self.work, "hostile")
        subprocess.run(["cc", "-o", hostile, os.path.join(HERE, "hostile.c")], check=True)
        env = {**os.environ, "RTSIM": f"{sys.executable} {RTSIM}", "HOSTILE": hostile,
               "WRAPPER": os.path.join(scripts, "rtprobe-sim"),
               "PROBE": os.path.join(scripts, "probe-isolation"),
               "RTPROBE_BUILD_DIR": os.path.dirname(BINARY)}
        check_commands(self, ("any", target, ISOLATION), env)


class Signals(unittest.TestCase):
    """rtsim ended by each signal under each isolation. The probe is a host
    shell, so this runs with the host build only (tests/CMakeLists.txt)."""

    def setUp(self):
        self.work = self.enterContext(tempfile.TemporaryDirectory())

    def test_a_run_ends_inside_its_isolation_whatever_signal_ends_rtsim(self):
        # proot runs wherever rtsim does; namespaces only where the setting has them.
        for isolation, name, status in table("signals.tsv", 3):
            if isolation not in ("proot", ISOLATION):
                continue
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


class Kernel(unittest.TestCase):
    """The kernel runner, with guest.c in place of rtprobe, and a cache of its
    own: the kernel built for every other run linked in, init copied."""

    @classmethod
    def setUpClass(cls):
        cls.work = cls.enterClassContext(tempfile.TemporaryDirectory())
        cache = os.path.join(cls.work, "cache")
        os.mkdir(cache)
        built, init = kernel.prepared()
        os.symlink(built, os.path.join(cache, os.path.basename(built)))
        shutil.copytree(init, os.path.join(cache, os.path.basename(init)))
        cls.guest = os.path.join(cls.work, "guest")
        subprocess.run(["powerpc-linux-gnu-gcc", "-static", "-Os", "-o", cls.guest,
                        os.path.join(HERE, "guest.c")], check=True)
        cls.env = {**os.environ, "RTSIM": f"{sys.executable} {RTSIM}", "GUEST": cls.guest,
                   "RTSIM_CACHE": cache, "TMPDIR": cls.work}

    def test_command_behaves(self):
        check_commands(self, ("kernel",), self.env)

    def test_signal_ends_the_run_and_qemu_within_2_s(self):
        # Sent while the program runs: the status a shell would give, and no
        # process of the run left (qemu names the run's folder).
        for signum, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143),
                               (signal.SIGHUP, 129), (signal.SIGKILL, -9)):
            with self.subTest(signal.Signals(signum).name):
                folder = tempfile.mkdtemp(dir=self.work)
                run = subprocess.Popen([sys.executable, RTSIM, "run", "--kernel", self.guest,
                                        "sleep"], env={**self.env, "TMPDIR": folder})
                self.addCleanup(run.kill)
                console = os.path.join(folder, "rtsim.*", "rtsim-*", "kernel", "console")
                wait_until(lambda: b"asleep" in b"".join(map(read, glob.glob(console))), 60)
                sent = time.monotonic()
                run.send_signal(signum)
                self.assertEqual(run.wait(2), status)
                wait_until(lambda: not running(folder), sent + 2 - time.monotonic())
                self.assertEqual(running(folder), [])


def wait_until(condition, seconds):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def running(folder):
    """The command lines of the processes that name folder."""
    found = subprocess.run(["pgrep", "-af", folder], capture_output=True, text=True)
    return found.stdout.splitlines()


if __name__ == "__main__":
    unittest.main()
