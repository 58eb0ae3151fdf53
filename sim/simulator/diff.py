# SPDX-License-Identifier: MIT
"""`rtsim diff`: what differs between two boards, decoded: each RX entry
whose word differs, with what it meant and means, and each link flag that
changed. Status 0 when nothing differs, 1 when something does, as diff(1)
and cmp(1) answer. A part either side's captures leave unknown is not
compared, and said so on standard error."""

import json
import os
import pickle
import signal

from .board import Board
from .decode import link_flags, load, meaning, word_meaning
from .description import DescriptionError
from .layout import DSP_LINKS, RX_TABLE


def add_parser(commands, boards):
    parser = commands.add_parser(
        "diff", parents=[boards], help="list what differs between two boards, decoded",
        description="What differs between two boards, decoded, one fact a line: exit status 0 "
                    "when they are the same, 1 when they differ, 2 on trouble (rtsim(1), SHOW "
                    "AND DIFF).")
    parser.add_argument("old", help="a board file, or the name of a shipped board")
    parser.add_argument("new", help="a board file, or the name of a shipped board")
    parser.add_argument("--json", action="store_true", help="one JSON document")


def differences(old, new):
    """old and new: each (board, entries known, registers known, unknown)."""
    entries = []
    for index in sorted(old[1] & new[1]):
        words = old[0].rx.get(index, 0), new[0].rx.get(index, 0)
        if words[0] != words[1]:
            entries.append({"index": index, "address": RX_TABLE + 4 * index,
                            "old": word_meaning(words[0]), "new": word_meaning(words[1])})
    flags = link_flags(old[0], old[2] & new[2]), link_flags(new[0], old[2] & new[2])
    links = [{"link": name, "flag": flag, "old": value, "new": flags[1][name][flag]}
             for name in DSP_LINKS for flag, value in flags[0][name].items()
             if value != flags[1][name][flag]]
    return {"entries": entries, "links": links, "unknown": {"old": old[3], "new": new[3]}}


def text(found):
    lines = [f"entry {change['index']} 0x{change['address']:08X} 0x{change['old']['word']:08X} "
             f"0x{change['new']['word']:08X} {meaning(change['old'])} -> {meaning(change['new'])}"
             for change in found["entries"]]
    lines += [f"link {change['link']} {change['flag']} {change['old']} -> {change['new']}"
              for change in found["links"]]
    return "".join(line + "\n" for line in lines)


def _load_apart(name, options):
    """Starts reading a board in a child process, so that the two boards
    of a diff are read at once on two cores: its process ID and the pipe
    that brings what load gives (the board without its timeline), the notes
    it would say and its refusal; nothing if the child fails otherwise."""
    read, write = os.pipe()
    pid = os.fork()
    if pid:
        os.close(write)
        return pid, read
    status = 1
    try:  # the child, to its end: a signal that ends rtsim ends it at once, saying nothing
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) is not signal.SIG_IGN:
                signal.signal(signum, signal.SIG_DFL)
        os.close(read)
        notes, loaded, refusal = [], None, None
        try:
            board, *rest = load([name], options, notes.append, "not compared", f"{name}: ")
            loaded = (Board(board.regs, board.rx), *rest)
        except DescriptionError as error:
            refusal = str(error)
        with open(write, "wb") as f:
            pickle.dump((loaded, notes, refusal), f)
        status = 0
    finally:
        os._exit(status)


def _loaded(child, name, options, say):
    """What the child read, its notes said; read here if the child failed."""
    with open(child[1], "rb") as f:
        data = f.read()
    os.waitpid(child[0], 0)
    if not data:
        return load([name], options, say, "not compared", f"{name}: ")
    loaded, notes, refusal = pickle.loads(data)
    for note in notes:
        say(note)
    if refusal:
        raise DescriptionError(refusal)
    return loaded


def command(options, say):
    """The output and the exit status: 1 when the boards differ."""
    child = _load_apart(options.new, options)
    try:
        old = load([options.old], options, say, "not compared", f"{options.old}: ")
        new = _loaded(child, options.new, options, say)
    finally:
        try:  # the child of a diff that ended early
            os.kill(child[0], signal.SIGKILL)
            os.waitpid(child[0], 0)
        except (ChildProcessError, ProcessLookupError):
            pass
    found = differences(old, new)
    output = json.dumps(found, indent=1) + "\n" if options.json else text(found)
    return output, int(bool(found["entries"] or found["links"]))
