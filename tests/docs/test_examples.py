# SPDX-License-Identifier: MIT
# The examples of the README and of both man pages, run as written from the
# top folder of a fresh tree, their output compared with what the text shows.
# An example is a line "$ COMMAND" (continued after a trailing backslash) in
# a ```sh block of the README or an .EX block of a man page; the lines after
# it, up to the next "$ " or the block's end, are its output, standard error
# included, and a line "..." ends the part shown. Each must exit with 0.
#
# The tree is the sources, with this build's binary standing for the ones the
# README's first command builds (build/run-host, build/run-ppc). rtprobe(1)'s
# examples, written for the board, get scripts/rtprobe-sim as rtprobe, and
# rtsim(1)'s get sim/rtsim.py as rtsim, as its examples ask; an rtprobe named
# by path outside an rtsim run is refused, so no example reaches /dev/mem.
# The --kernel examples run in Kernel, with the board build.

import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ["RTPROBE_SOURCE_DIR"])
BUILD = os.environ["RTPROBE_BUILD_DIR"]
DOCUMENTS = ("README.md", "doc/rtprobe.1", "doc/rtsim.1")
ROFF = {"\\-": "-", "\\e": "\\", "\\&": "", "\\(aq": "'"}


def blocks(document):
    text = (SOURCE / document).read_text()
    if document.endswith(".md"):
        return re.findall(r"^```sh\n(.*?)^```$", text, re.S | re.M)
    found = re.findall(r"^\.EX\n(.*?)^\.EE$", text, re.S | re.M)
    return [re.sub(r"\\\(aq|\\[-e&]", lambda m: ROFF[m[0]], block) for block in found]


def examples(document):
    """Each example of a document: its command, and the output shown or None."""
    found = []
    for block in blocks(document):
        for part in re.split(r"^\$ ", block, flags=re.M)[1:]:
            lines = part.splitlines()
            command = lines.pop(0)
            while command.endswith("\\"):
                command += "\n" + lines.pop(0)
            found.append((command, "".join(line + "\n" for line in lines) or None))
    return found


def unsafe(command):
    """An rtprobe binary named by path in a command that is no rtsim run."""
    for step in re.split(r";|&&|\|\|?", command):
        if re.search(r"\S/rtprobe(\s|$)", step) and not re.search(r"rtsim(\.py)? run ", step):
            return step
    return None


def tree(work):
    """A fresh tree in work: the sources, the binaries built, rtprobe and rtsim."""
    for entry in SOURCE.iterdir():
        if entry.name not in ("build", ".git"):
            os.symlink(entry, work / entry.name)
    os.makedirs(work / "build")
    for name in ("run-host", "run-ppc"):
        os.symlink(BUILD, work / "build" / name)
    os.makedirs(work / "bin")
    for name, program in (("rtprobe", f"{work}/scripts/rtprobe-sim"),
                          ("rtsim", f"{sys.executable} {SOURCE}/sim/rtsim.py")):
        (work / "bin" / name).write_text(f'#!/bin/sh\nexec {program} "$@"\n')
        (work / "bin" / name).chmod(0o755)


class Examples(unittest.TestCase):
    kernel = False

    def test_examples(self):
        ran = 0
        for document in DOCUMENTS:
            with tempfile.TemporaryDirectory(prefix="rtprobe-examples-") as work:
                work = Path(work)
                tree(work)
                env = dict(os.environ, PATH=f"{work}/bin:{os.environ['PATH']}",
                           RTPROBE_BUILD_DIR=BUILD, LC_ALL="C.UTF-8")
                for command, shown in examples(document):
                    if ("--kernel" in command) != self.kernel:
                        continue
                    with self.subTest(document=document, command=command):
                        self.assertIsNone(unsafe(command), "rtprobe run outside rtsim")
                        done = subprocess.run(["bash", "-c", command], cwd=work, env=env,
                                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                              text=True, timeout=300)
                        output = done.stdout
                        if shown and shown.endswith("...\n"):
                            shown = shown[:-4]
                            output = output[:len(shown)]
                        self.assertEqual((done.returncode, output),
                                         (0, output if shown is None else shown))
                        ran += 1
        print(f"{ran} examples run", file=sys.stderr)
        self.assertGreater(ran, 0)


class Kernel(Examples):
    kernel = True


if __name__ == "__main__":
    unittest.main()
