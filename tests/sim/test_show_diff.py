# SPDX-License-Identifier: MIT
"""rtsim show and diff on random boards, against a small model of what an
RX entry and a link's flags mean, written from the entry and register
layouts."""

import json
import os
import subprocess
import sys
import tempfile
import types
import unittest

from hypothesis import given, settings, strategies as st

HERE = os.path.dirname(os.path.abspath(__file__))
RTSIM = os.path.join(HERE, "..", "..", "sim", "rtsim.py")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import model  # noqa: E402

NAMES = ("DSP0>L5 DSP0>L4 DSP1>L7 DSP1>L6 DSP2>L1 DSP2>L0 DSP3>L3 DSP3>L2 SMAC>L8 HMAC0>L10 "
         "I/O>L12 Mezz>L14 HMAC1>L16").split()
BITS = [21, 20, 23, 22, 17, 16, 19, 18, 24, 26, 28, 30, 14]
# Each flag: its register's offset and its bit for each DSP link, in link order.
FLAGS = {"tx_run": (0x240, model.RUN), "tx_data": (0x240, model.DATA),
         "rx_run": (0x244, model.RUN), "rx_data": (0x244, model.DATA),
         "clock_lock": (0x220, model.LOCK), "clock_run": (0x220, model.PAIR),
         "far": (0x34, model.RUN), "near": (0x38, model.RUN)}
# Words routed to a node (or to I/O and Mezz, or by bits 15 and 25 that are no
# node's: nowhere), with the bits that change nothing set or not; any word.
WORDS = st.one_of(
    st.builds(lambda bit, channel, spare: 1 << bit | channel | spare,
              st.sampled_from(BITS + [15, 25]), st.integers(0, 0x1FFF),
              st.sampled_from([0, 1 << 13, 0xA8000000])),
    st.integers(0, 0xFFFFFFFF))
# Any entry, the first and the last more often.
INDEXES = st.one_of(st.sampled_from([0, 8191]), st.integers(0, 8191))
BOARDS = st.builds(types.SimpleNamespace,
                   rx=st.dictionaries(INDEXES, WORDS, max_size=30),
                   regs=st.fixed_dictionaries({at: st.integers(0, 0xFFFFFFFF)
                                               for at in (0x240, 0x244, 0x220, 0x34, 0x38)}))
# Up to five entries rewritten and four flags turned over, often only one of the two.
CHANGES = st.tuples(
    st.one_of(st.just({}), st.dictionaries(INDEXES, WORDS, min_size=1, max_size=5)),
    st.one_of(st.just([]), st.lists(st.tuples(st.sampled_from(list(FLAGS)), st.integers(0, 7)),
                                    min_size=1, max_size=4)))
EXAMPLES = settings(max_examples=12, derandomize=True, database=None, deadline=None)


def meaning(word):
    field = [bit for bit in range(14, 27) if word >> bit & 1]
    if len(field) == 1 and field[0] in BITS:
        return f"{NAMES[BITS.index(field[0])]} channel {word & 0x1FFF}"
    if len(field) > 1:
        return f"nowhere: {len(field)} destination bits"
    if field:
        return f"nowhere: destination bit {field[0]} names no node"
    return "nowhere: bits above the destination field only" if word >> 27 else "no route"


def flags(board, link):
    return {flag: board.regs[at] >> bits[link] & 1 for flag, (at, bits) in FLAGS.items()}


def group(text):
    """Where show lists an entry: at its node's place, after every node if
    it routes nowhere, or not at all."""
    if "channel" in text:
        return NAMES.index(text.split()[0])
    return len(NAMES) if text.startswith("nowhere") else None


def show(board):
    """The lines rtsim show prints for the board."""
    said = [meaning(board.rx.get(index, 0)) for index in range(8192)]
    groups = [group(text) for text in said]
    listed = sorted((group, index) for index, group in enumerate(groups) if group is not None)
    lines = [f"entry {index} 0x{0xF0010000 + 4 * index:08X} 0x{board.rx.get(index, 0):08X} "
             f"{said[index]}" for _, index in listed]
    lines += [f"count {name} {groups.count(node)}" for node, name in enumerate(NAMES)]
    lines += [f"count none {said.count('no route')}", f"count nowhere {groups.count(13)}",
              "count unknown 0"]
    for link in range(8):
        lines.append(f"link {NAMES[link]} "
                     + " ".join(f"{flag}={value}" for flag, value in flags(board, link).items()))
    return lines


def diff(old, new):
    """The lines rtsim diff prints for the two boards."""
    lines = [f"entry {index} 0x{0xF0010000 + 4 * index:08X} 0x{old.rx.get(index, 0):08X} "
             f"0x{new.rx.get(index, 0):08X} {meaning(old.rx.get(index, 0))} -> "
             f"{meaning(new.rx.get(index, 0))}" for index in range(8192)
             if old.rx.get(index, 0) != new.rx.get(index, 0)]
    for link in range(8):
        before, after = flags(old, link), flags(new, link)
        lines += [f"link {NAMES[link]} {flag} {before[flag]} -> {after[flag]}"
                  for flag in FLAGS if before[flag] != after[flag]]
    return lines


def said(fact):
    """An entry's meaning from its JSON fields, as the lines say it."""
    if fact["route"] == "node":
        return f"{fact['node']} channel {fact['channel']}"
    return "no route" if fact["route"] == "none" else f"nowhere: {fact['why']}"


def json_lines(command, document):
    """The lines a JSON document of show or diff holds, as the text gives them."""
    lines = []
    for fact in document["entries"]:
        sides = [fact] if command == "show" else [fact["old"], fact["new"]]
        lines.append(f"entry {fact['index']} 0x{fact['address']:08X} "
                     + " ".join(f"0x{side['word']:08X}" for side in sides) + " "
                     + " -> ".join(map(said, sides)))
    lines += [f"count {what} {number}" for what, number in document.get("counts", {}).items()]
    for link in document["links"]:
        if command == "show":
            lines.append(f"link {link['link']} "
                         + " ".join(f"{flag}={link[flag]}" for flag in FLAGS))
        else:
            lines.append(f"link {link['link']} {link['flag']} {link['old']} -> {link['new']}")
    return lines


class ShowDiff(unittest.TestCase):
    def setUp(self):
        self.work = self.enterContext(tempfile.TemporaryDirectory())

    def file(self, board, capture, name):
        """The board as a description or as a capture of its reports."""
        path = os.path.join(self.work, name)
        if capture:
            text = "".join(model.REPORTS[kind](board)
                           for kind in ("rx_raw", "mgt_status", "mgt_loopback"))
        else:
            text = "".join(f"rx {index} 0x{word:X}\n" for index, word in board.rx.items())
            text += "".join(f"reg 0x{at:X} {word}\n" for at, word in board.regs.items())
        with open(path, "w") as f:
            f.write(text)
        return path

    def rtsim(self, command, *args):
        """The lines printed; the status and standard error checked, the
        JSON document checked to hold the same lines."""
        done = [subprocess.run([sys.executable, RTSIM, command, *args, *json], timeout=60,
                               capture_output=True, text=True) for json in ([], ["--json"])]
        status = 1 if command == "diff" and done[0].stdout else 0
        self.assertEqual((done[0].returncode, done[0].stderr), (status, ""))
        self.assertEqual((done[1].returncode, done[1].stderr), (status, ""))
        self.assertEqual(json_lines(command, json.loads(done[1].stdout)),
                         done[0].stdout.splitlines())
        return done[0].stdout.splitlines()

    @EXAMPLES
    @given(BOARDS, st.booleans())
    def test_show_lists_each_routed_entry_once_and_counts_all(self, board, capture):
        self.assertEqual(self.rtsim("show", "--board", self.file(board, capture, "a")),
                         show(board))

    @EXAMPLES
    @given(BOARDS, CHANGES, st.booleans(), st.booleans())
    def test_diff_lists_exactly_the_changes(self, board, changes, capture, other):
        entries, turned = changes
        new = types.SimpleNamespace(rx={**board.rx, **entries}, regs=dict(board.regs))
        for flag, link in turned:
            at, bits = FLAGS[flag]
            new.regs[at] ^= 1 << bits[link]
        files = self.file(board, capture, "a"), self.file(new, other, "b")
        self.assertEqual(self.rtsim("diff", *files), diff(board, new))


if __name__ == "__main__":
    unittest.main()
