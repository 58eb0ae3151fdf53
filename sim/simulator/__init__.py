# SPDX-License-Identifier: MIT
"""rtsim, the simulated board for rtprobe: board language and captures
(board), the image (image), the isolated run (isolation), the command line (cli)."""
