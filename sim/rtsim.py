#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""rtsim: a simulated board for rtprobe (`rtsim --help`).

The command and the names scripts and tests import; the work is done in the
package `simulator` beside this file, or under share/rtprobe once installed."""

import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
for _folder in (HERE, os.path.join(HERE, "..", "share", "rtprobe")):
    if os.path.isdir(os.path.join(_folder, "simulator")):
        sys.path.insert(0, os.path.normpath(_folder))
        break
# Installed, the package sits in a folder that is not ours to write to.
sys.dont_write_bytecode = True

from simulator.board import (  # noqa: E402,F401
    FPGA_BASE, IMAGE_SIZE, NODES, REGISTERS, RX_ENTRIES, RX_TABLE, Board, DescriptionError,
    find_board, load_board, load_boards, parse_board)
from simulator.cli import main  # noqa: E402,F401
from simulator.image import read_words, write_image  # noqa: E402,F401
from simulator.isolation import (  # noqa: E402,F401
    Bench, IsolationError, Result, binary_target, run)

if __name__ == "__main__":
    sys.exit(main())
