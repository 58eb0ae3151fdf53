# SPDX-License-Identifier: MIT
"""rtsim: captures, board files and the command, run with RTPROBE."""

import codecs
import contextlib
import glob
import io
import itertools
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
sys.path[:0] = [os.path.join(ROOT, "sim"), os.path.join(ROOT, "tests", "e2e"), HERE]

import damage  # noqa: E402
import hypothesis  # noqa: E402
import model  # noqa: E402
import rtsim  # noqa: E402
from simulator import kernel  # noqa: E402
from test_cases import ISOLATION  # noqa: E402

# Damaged logs tried in the suite, and how often the binary prints a board built.
LOGS = 300
RUN_EVERY = itertools.cycle([True] + [False] * 29)
TWO_TABLES = [(0, "rx_raw", None, 0), (0, "clear", None, 0), (0, "rx_raw", None, 0)]


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

    @hypothesis.settings(max_examples=LOGS, derandomize=True, deadline=None, database=None,
                         suppress_health_check=list(hypothesis.HealthCheck))
    @hypothesis.given(damage.logs())
    # A table, -clear, the table again: its header broken (read whole), a break
    # joining the two (refused); two boards' status, the second wrapped at 80
    # columns (refused, never read as cut short).
    @hypothesis.example((TWO_TABLES, [("header_broken", 0)], False, ["latin-1"], False))
    @hypothesis.example((TWO_TABLES, [("serial_break", 3)], False, ["latin-1"], False))
    @hypothesis.example(([(0, "mgt_status", None, 0), (1, "mgt_status", None, 0)],
                         [("wrapped", 0)], False, ["latin-1"], False))
    def test_damaged_logs_replay_their_last_state_or_are_refused(self, log):
        replayed, truth, paths = damage.judge(self, *log, self.work)
        if replayed and next(RUN_EVERY):
            damage.binary_prints(self, paths, truth, BINARY)

    def test_captures_replay_their_reports_or_are_refused(self):
        board = damage.random_board(random.Random(16), 0)
        reports = {name: Lines(model.REPORTS[name](board)) for name in damage.HELD}
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
                for name in damage.HELD:
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
