# SPDX-License-Identifier: MIT
# rtprobe end to end: each row of the *_cases.txt tables runs the binary under
# test (RTPROBE, set by CTest) on a simulated board and checks its output,
# status, empty standard error and what became of the board's image.

import codecs
import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))

import model  # noqa: E402
import rtsim  # noqa: E402

BINARY = os.environ.get("RTPROBE", "")
STREAMS = {"closed": ">&-", "full": ">/dev/full", "none": "<&- >&- 2>&-"}  # redirections


def load_boards(texts={}):  # [name] starts a board, "use NAME" takes in an earlier one
    with open(os.path.join(HERE, "boards.txt"), encoding="utf-8") as f:
        for name, text in re.findall(r"(?ms)^\[([\w-]+)\]\n(.*?)(?=^\[|\Z)", f.read()):
            texts[name] = re.sub(r"(?m)^use (\S+)$", lambda m: texts[m[1]], text)
    return {name: rtsim.parse_board(text, f"boards.txt [{name}]") for name, text in texts.items()}


BOARDS = load_boards()


def arguments(text):
    args = []
    for token in text.split():
        token, _, times = token.partition("*")
        token, _, repeat = ("" if token == "''" else token).partition("^")
        args += [os.fsdecode(codecs.escape_decode(token)[0]) * int(repeat or 1)] * int(times or 1)
    return args


def snapshot(bench):  # the image's size, its data outside the RX table, the table's words
    outside, table, end_of_table = [], rtsim.RX_TABLE, rtsim.RX_TABLE + 4 * 8192
    with open(bench.image, "rb") as f:
        for start, end in rtsim.data_extents(bench.image):
            for lo, hi in ((start, min(end, table)), (max(start, end_of_table), end)):
                if lo < hi:
                    f.seek(lo)
                    outside.append((lo, f.read(hi - lo)))
    return os.path.getsize(bench.image), outside, bench.words(table, 8192)


def first_difference(got, want):  # (index, the next few, count) of each, from the first difference
    n = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return (n, got[n:n + 3], len(got)), (n, want[n:n + 3], len(want))


class Cases(unittest.TestCase):
    def run_table(self, name):
        with open(os.path.join(HERE, name + "_cases.txt"), encoding="utf-8") as f:
            rows = [line for line in f.read().splitlines() if line.strip() and line[0] != "#"]
        self.assertGreater(len(rows), 20)
        for line in rows:
            args, board, device, streams, report, status, image = \
                [c.strip() for c in (line + "|" * 6).split("|")[:7]]
            board = board and (BOARDS.get(board) or rtsim.load_board(rtsim.find_board(board)))
            with self.subTest(line[:80]), rtsim.Bench(BINARY, board, device or "image") as bench:
                before = snapshot(bench) if bench.device == "image" else None
                wrapper = ["sh", "-c", f'exec "$@" {STREAMS[streams]}', "sh"] if streams else ()
                result = bench.run(arguments(args), wrapper=wrapper)
                name, *numbers = report.split()
                expected = model.REPORTS[name](board or rtsim.Board(), *numbers)
                got, want = first_difference(result.stdout.decode("latin-1").split("\n"),
                                             expected.split("\n"))
                self.assertEqual((result.status, result.stderr, got), (int(status), b"", want))
                image = before and (before[:2] + ([0] * 8192,) if image == "cleared" else before)
                self.assertTrue(not before or snapshot(bench) == image, "image changed")

    test_command_line = lambda self: self.run_table("cli")
    test_reports = lambda self: self.run_table("report")
    test_lost_output = lambda self: self.run_table("stream")


if __name__ == "__main__":
    unittest.main()
