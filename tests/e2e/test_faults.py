# SPDX-License-Identifier: MIT
"""Standard streams closed or full: the tool must not crash, must not write
anywhere else, and must not pass a lost report off as a good one."""

import rtcase
import rtsim

BOARD = rtsim.Board(regs={0x240: 0x00FF00FF}, rx={0: 0x00200005, 9: 0x04000011})

# The shell redirection around the program, and what it does to the run.
STREAMS = {
    "stdout closed": 'exec "$@" >&-',
    "stdout full": 'exec "$@" >/dev/full',
    "all closed": 'exec "$@" <&- >&- 2>&-',
}

# Command line, exit status when its output is lost.
COMMANDS = [
    (["-rx_raw"], 1),
    (["-rx"], 1),
    (["-rx_by_node"], 1),
    (["-clear"], 0),  # prints nothing, so loses nothing
    (["-mgt_status"], 1),
    (["-mgt_loopback"], 1),
    (["-tx"], 1),
    (["-read", "3"], 1),
    (["-normal"], 0),
    ([], 255),
]


class LostOutput(rtcase.RtprobeCase):
    def test_lost_output_fails_the_run_and_writes_nowhere_else(self):
        for stream, redirect in STREAMS.items():
            for args, status in COMMANDS:
                with self.subTest(stream=stream, args=args):
                    bench = self.bench(BOARD)
                    extents = rtsim.data_extents(bench.image)
                    table = bench.words(rtsim.RX_TABLE, 16)
                    result = bench.run(args, wrapper=["sh", "-c", redirect, "sh"])
                    self.assertEqual((result.status, result.stdout, result.stderr),
                                     (status, b"", b""))
                    # A descriptor of /dev/mem that took a closed stream's
                    # number would have had the report written into memory.
                    if args == ["-clear"]:
                        extents = [extents[0], (rtsim.RX_TABLE, rtsim.IMAGE_SIZE)]
                        table = [0] * 16
                    self.assertEqual(rtsim.data_extents(bench.image), extents)
                    self.assertEqual(bench.words(rtsim.RX_TABLE, 16), table)


if __name__ == "__main__":
    import unittest

    unittest.main()
