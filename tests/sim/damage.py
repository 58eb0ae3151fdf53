# SPDX-License-Identifier: MIT
"""Console logs of two boards as a terminal, a logger or a bad line damage
them, and the property rtsim's reading of them must hold, judged by what
the log's own timeline truly was: refused with FILE:LINE, or a board that
prints the last state of every part the log shows. A log that only benign
damage (what a terminal or logger does without losing anything) touched,
and whose last state of each part is shown whole, must not be refused."""

import collections
import dataclasses
import os
import random
import re
import subprocess
import sys

from hypothesis import strategies as st

import model
import rtsim

# The part of the board each report shows, and those that set it.
PART = {"rx_raw": "rx", "rx": "rx", "rx_by_node": "rx", "mgt_status": "status",
        "mgt_loopback": "loopback"}
HELD = ("rx_raw", "mgt_status", "mgt_loopback")
# A report cut short: by Ctrl-C, by | head, or (the table) by | tail.
CUTS = (None, None, "ctrl-c", "head", "tail")
KERNEL = "[   12.345678] usb 1-1: new high-speed USB device number 2\n"
DATA = re.compile(r"0x|Run|Far|Lock")


def random_board(rng, flip):
    """A board whose first ten entries route to nodes the views show; flip
    turns its status flags over, so that two boards differ in every one."""
    regs = {at: rng.getrandbits(32) ^ flip for at in rtsim.REGISTERS.values()}
    rx = {index: rng.getrandbits(32) for index in range(8192)}
    for index in range(10):
        rx[index] = 1 << rng.choice(model.NODE_BITS) | rng.getrandbits(13)
    return rtsim.Board(regs, rx)


_rng = random.Random(21)
BOARDS = [random_board(_rng, flip) for flip in (0, 0xFFFFFFFF)]
CLEARED = [rtsim.Board(board.regs, {}) for board in BOARDS]


def report(board, kind, printed={}):
    """The model's report of a board (of the four boards, kept once printed)."""
    if (id(board), kind) not in printed:
        printed[id(board), kind] = model.REPORTS[kind](board)
    return printed[id(board), kind]


@dataclasses.dataclass
class Log:
    """A console log: chunks of lines, each a prompt and what followed it,
    with the board each chunk's report came from; and its truth."""

    chunks: list  # (board 0 or 1, lines)
    truth: dict  # report kind -> the board its part was in when last shown
    whole: bool  # the last state of every part is shown by a whole report


def timeline(steps):
    """The log of steps (board, report kind or "clear", cut, where)."""
    states, chunks, shown = list(BOARDS), [], {}
    for which, kind, cut, where in steps:
        if kind == "clear":
            states[which] = CLEARED[which]
            chunks.append((which, ["root@board:~# rtprobe -clear\n"]))
            continue
        lines = report(states[which], kind).splitlines(True)
        cut = cut if kind in HELD else None
        data = [n for n, line in enumerate(lines) if DATA.match(line)]
        if cut == "tail" and kind == "rx_raw":
            lines = lines[data[where % len(data)]:]
        elif cut:
            lines = lines[:data[where % len(data)] + 1] + (["^C\n"] if cut == "ctrl-c" else [])
        chunks.append((which, [f"root@board:~# rtprobe -{kind}\n"] + lines))
        shown.setdefault(PART[kind], []).append((kind, states[which], cut))
    truth = {kind: shows[-1][1] for shows in shown.values() for kind, _, _ in shows}
    return Log(chunks, truth, all(_shown_whole(shows) for shows in shown.values()))


def _shown_whole(shows):
    """Whether a part's last state is shown by a whole report that every
    later report of the part agrees with."""
    last = [n for n, (kind, _, cut) in enumerate(shows) if kind in HELD and not cut]
    return bool(last) and all(board is shows[-1][1] for _, board, _ in shows[last[-1]:])


# Damage: each operator changes the log's lines (a list), with rng for where.
def _at(rng, lines):
    return rng.randrange(len(lines))


def crlf(lines, rng):
    lines[:] = [line.replace("\n", "\r\n") for line in lines]


def cr_runs(lines, rng):
    at = _at(rng, lines)
    lines[at] = lines[at].replace("\n", "\r" * rng.randint(1, 5000) + "\n")


def tabs_expanded(lines, rng):
    lines[:] = [line.expandtabs() for line in lines]


def trailing_stripped(lines, rng):
    lines[:] = [line.rstrip(" \t\n") + "\n" for line in lines]


def blank_lines_dropped(lines, rng):  # grep -v '^$'
    lines[:] = [line for line in lines if line.strip()]


def logger_stamps(lines, rng):
    lines[:] = ["[2026-12-05 10:00:01.123] " + line for line in lines]


def colours(lines, rng):
    at = _at(rng, lines)
    lines[at] = "\x1b[1;32m" + lines[at][:-1] + "\x1b[0m\x1b(B\x1b[m\n"


def cursor_forward(lines, rng):
    at = _at(rng, lines)
    lines[at] = lines[at].replace("\t", "\x1b[%dC" % rng.randint(1, 8))


def kernel_line(lines, rng):
    lines.insert(_at(rng, lines), KERNEL)


def pager_prompt(lines, rng):
    lines.insert(_at(rng, lines), rng.choice((":\n", "--More--\n", "(END)\n")))


def progress_meter(lines, rng):
    prompts = [n for n, line in enumerate(lines) if "root@" in line]
    lines.insert(rng.choice(prompts) + 1 if prompts else 0, "10%\r55%\r100%\n")


def one_host(lines, rng):
    lines[:] = [line.replace("root@board:", "root@alpha:") for line in lines]


def header_broken(lines, rng):
    """A kernel message inside a table's header, which shows nothing of the board."""
    headers = [n for n, line in enumerate(lines) if line.startswith("Address \t\tValue")]
    if headers:
        at = rng.choice(headers)
        lines[at] = lines[at][:4] + KERNEL + lines[at][4:]


def kernel_mid_line(lines, rng):
    at = _at(rng, lines)
    column = rng.randrange(len(lines[at]))
    lines[at] = lines[at][:column] + KERNEL + lines[at][column:]


def serial_break(lines, rng):
    """A break (read as NUL) that lost what came until the same column of a
    later line for the same address (in a loop's next report), or nothing."""
    at = _at(rng, lines)
    column = rng.randrange(len(lines[at]))
    same = [n for n in range(at + 1, len(lines)) if lines[n][:10] == lines[at][:10]]
    resume = rng.choice(same[:3]) if same and rng.randrange(2) else at
    lines[at:resume + 1] = [lines[at][:column] + "\0" + lines[resume][column:]]


def noise_byte(lines, rng):
    at = _at(rng, lines)
    column = rng.randrange(len(lines[at]))
    lines[at] = lines[at][:column] + "\xff" + lines[at][column + 1:]


def wrapped(lines, rng):
    lines[:] = [re.sub(r"([^\n]{80})(?=[^\n])", "\\1\n", line.expandtabs()) for line in lines]


def chopped(lines, rng):  # less -S
    lines[:] = [line.expandtabs()[:80].rstrip("\n") + "\n" for line in lines]


def line_lost(lines, rng):
    del lines[_at(rng, lines)]


def line_doubled(lines, rng):
    at = _at(rng, lines)
    lines.insert(at, lines[at])


def interleaved(lines, rng):  # two terminals' output in one log, line by line
    at, size = _at(rng, lines), rng.randint(2, 40)
    lines[at:at + size] = lines[at + 1:at + size:2] + lines[at:at + size:2]


BENIGN = [crlf, cr_runs, tabs_expanded, trailing_stripped, blank_lines_dropped, logger_stamps,
          colours, cursor_forward, kernel_line, pager_prompt, progress_meter, one_host,
          header_broken]
LOSSY = [kernel_mid_line, serial_break, noise_byte, wrapped, chopped, line_lost, line_doubled,
         interleaved]
OPERATORS = {operator.__name__: operator for operator in BENIGN + LOSSY}
# How the log is saved: in one file or two (split between two reports, the
# second in another codec, or appended to the first), in UTF-8 or UTF-16
# (with its byte-order mark or not); the byte order of each.
CODECS = {"latin-1": None, "utf-16": "le", "utf-16-le": "le", "utf-16-be": "be"}
RTSIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "rtsim.py")
TALLY = collections.Counter()  # logs judged: replayed, refused, honest (shown whole)


@st.composite
def logs(draw):
    """A log as steps, damage (operator names, each with its seed), the
    hosts its prompts name (one, or each board its own) and its files' codecs."""
    step = st.tuples(st.integers(0, 1), st.sampled_from(list(PART) + ["rx_raw", "clear"]),
                     st.sampled_from(CUTS), st.integers(0, 1 << 16))
    steps = draw(st.lists(step, min_size=1, max_size=6).filter(
        lambda steps: any(kind != "clear" for _, kind, _, _ in steps)))
    damage = draw(st.lists(st.tuples(st.sampled_from(sorted(OPERATORS)),
                                     st.integers(0, 1 << 32)), max_size=4))
    return (steps, damage, draw(st.booleans()),
            draw(st.lists(st.sampled_from(sorted(CODECS)), min_size=1, max_size=2)),
            draw(st.booleans()))


def write(folder, steps, damage, two_hosts, codecs, appended):
    """The log's files, written to folder, and its timeline."""
    log = timeline(steps)
    for which, lines in log.chunks:
        lines[0] = lines[0].replace("@board:", "@alpha:" if which == 0 else "@beta:", two_hosts)
    # Two files part before a chunk of a report, with one before it.
    reports = [n for n, (_, lines) in enumerate(log.chunks) if len(lines) > 1][1:]
    cut = reports[steps[-1][-1] % len(reports)] if reports and len(codecs) > 1 else len(log.chunks)
    pieces = [sum((lines for _, lines in log.chunks[:cut]), []),
              sum((lines for _, lines in log.chunks[cut:]), [])]
    for name, seed in damage:
        OPERATORS[name](pieces[seed % 2 if len(codecs) > 1 and pieces[1] else 0],
                        random.Random(seed))
    paths = []
    for stale in os.listdir(folder):
        os.remove(os.path.join(folder, stale))
    for number, (lines, codec) in enumerate(zip(pieces, codecs)):
        path = os.path.join(folder, f"log{0 if appended else number}")
        paths += [] if path in paths else [path]
        with open(path, "ab") as f:
            f.write("".join(lines).encode(codec))
    return log, paths


def judge(test, steps, damage, two_hosts, codecs, appended, folder):
    """The property, for one log: the board rtsim replays, or None when it refused."""
    log, paths = write(folder, steps, damage, two_hosts, codecs, appended)
    two_boards = two_hosts and len({which for which, lines in log.chunks if len(lines) > 1}) > 1
    honest = all(OPERATORS[name] in BENIGN for name, _ in damage) and not (
        appended and len({CODECS[codec] for codec in codecs}) > 1)
    TALLY["honest"] += honest and log.whole and not two_boards
    try:
        replayed = rtsim.load_boards(paths)
    except rtsim.DescriptionError as error:
        TALLY["refused"] += 1
        test.assertRegex(str(error), "^(" + "|".join(map(re.escape, paths)) + r"):\d+: ")
        test.assertFalse(honest and log.whole and not two_boards, f"an honest log refused: {error}")
        return None, log, paths
    TALLY["replayed"] += 1
    test.assertFalse(honest and two_boards, "two hosts' reports combined")
    for kind, board in log.truth.items():
        test.assertEqual(model.REPORTS[kind](replayed), report(board, kind), f"-{kind}")
    return replayed, log, paths


def binary_prints(test, paths, log, binary):
    """The binary's own report of the board built from the log's files."""
    kind, board = sorted(log.truth.items())[0]
    boards = [word for path in paths for word in ("--board", path)]
    done = subprocess.run([sys.executable, RTSIM, "run", *boards, binary, "-" + kind],
                          capture_output=True, text=True, timeout=120)
    test.assertEqual((done.returncode, done.stdout), (0, report(board, kind)), done.stderr)
