# SPDX-License-Identifier: MIT
# rtprobe end to end: each row of the *_cases.txt tables runs the binary under
# test (RTPROBE, set by CTest) on a simulated board and checks its output,
# status and empty standard error. The rows of one board run one after
# another on one image; then the image must be as it was, or for a row that
# clears the table (on a board of its own) as it was with the table zeroed.
# Cases runs them on rtsim's /dev/mem, Kernel under a real PowerPC kernel.

import codecs
import collections
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))

import model  # noqa: E402
import rtsim  # noqa: E402
from simulator import kernel  # noqa: E402

BINARY = os.environ["RTPROBE"]
# The isolation this setting gives rtsim (namespace or proot), as
# scripts/test found it once for every test; run alone, found here.
ISOLATION = os.environ.get("RTSIM_ISOLATION") or subprocess.run(
    [os.path.join(HERE, "..", "..", "scripts", "probe-isolation")],
    stdout=subprocess.PIPE, text=True, timeout=60).stdout.strip() or "auto"
# Each run's time limit, in seconds.
LIMIT = 60
# Redirections of the streams column.
STREAMS = {"": "", "closed": ">&-", "full": ">/dev/full",
           "none": "<&- >&- 2>&-"}
# Words of the FPGA window: 0x4000 before the RX table, then the table.
TABLE = 0x4000
WINDOW = 0x6000


def read_boards():
    # [name] starts a board; "use NAME" takes in an earlier one.
    with open(os.path.join(HERE, "boards.txt")) as f:
        found = re.findall(r"(?ms)^\[([\w-]+)\]\n(.*?)(?=^\[|\Z)", f.read())
    texts = {}
    for name, text in found:
        texts[name] = re.sub(r"(?m)^use (\S+)$", lambda m: texts[m[1]], text)
    return {name: rtsim.parse_board(texts[name], name) for name in texts}


BOARDS = read_boards()


def arguments(text):
    args = []
    for token in text.split():
        token, _, times = token.partition("*")
        token, _, repeat = token.replace("''", "").partition("^")
        arg = os.fsdecode(codecs.escape_decode(token)[0])
        args += [arg * int(repeat or 1)] * int(times or 1)
    return args


# One row of a case table, its columns in order (cli_cases.txt names them).
Row = collections.namedtuple("Row", "args board device streams expected status image")


def batches(name):
    # The rows of one board and device run one after another on one image,
    # which must then be as it was; a row that changes the image (its image
    # column set) runs on an image of its own, so that only it is to blame.
    groups = {}
    with open(os.path.join(HERE, name + "_cases.txt")) as f:
        for number, line in enumerate(f, 1):
            if line.strip() and line[0] != "#":
                cells = [cell.strip() for cell in line.split("|")]
                row = Row(*cells, *[""] * (len(Row._fields) - len(cells)))
                if row.image not in ("", "cleared"):
                    raise ValueError(f"{name}_cases.txt:{number}: image '{row.image}'")
                alone = number if row.image else None
                groups.setdefault((row.board, row.device or "image", alone), []).append(row)
    return groups.items()


def first_difference(got, want):
    # From the first differing line: its index, the next few, the count.
    n = 0
    while n < min(len(got), len(want)) and got[n] == want[n]:
        n += 1
    return (n, got[n:n + 3], len(got)), (n, want[n:n + 3], len(want))


def simulated(bench, rows):
    results = []
    for row in rows:
        wrapper = ["sh", "-c", f'exec "$@" {STREAMS[row.streams]}', "sh"]
        results.append(bench.run(arguments(row.args), wrapper=wrapper, timeout=LIMIT))
    return results


def on_kernel(bench, rows):
    return kernel.run(bench, [arguments(row.args) for row in rows])


def check_table(test, name, run_rows):
    groups = batches(name)
    test.assertTrue(groups)
    for (boards, device, _), rows in groups:
        board = BOARDS.get(boards)
        if not board:
            board = rtsim.load_boards(boards.split())
        with rtsim.Bench(BINARY, board, device, isolation=ISOLATION) as bench:
            if device == "image":
                words = bench.words(rtsim.FPGA_BASE, WINDOW)
                if rows[0].image == "cleared":
                    words[TABLE:] = [0] * (WINDOW - TABLE)
            results = run_rows(bench, rows)
            for row, result in zip(rows, results):
                with test.subTest(row.args, board=row.board):
                    want = model.expected(board, row.expected).split("\n")
                    got = result.stdout.decode("latin-1").split("\n")
                    got, want = first_difference(got, want)
                    test.assertEqual((result.status, result.stderr, got),
                                     (int(row.status), b"", want))
            if device == "image":
                after = bench.words(rtsim.FPGA_BASE, WINDOW)
                test.assertTrue(after == words, "image changed")


class Cases(unittest.TestCase):
    def test_command_line(self):
        check_table(self, "cli", simulated)

    def test_reports(self):
        check_table(self, "report", simulated)

    def test_lost_output(self):
        check_table(self, "stream", simulated)


class Kernel(unittest.TestCase):
    # Lost output is not run: each run writes to the console.
    def test_command_line(self):
        check_table(self, "cli", on_kernel)

    def test_reports(self):
        check_table(self, "report", on_kernel)


if __name__ == "__main__":
    unittest.main()
