"""Shared ground for the end-to-end tests: the rtprobe binary under test
(RTPROBE, set by CTest) run on a simulated board."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "sim"))

import rtsim  # noqa: E402

BINARY = os.environ.get("RTPROBE", "")


class RtprobeCase(unittest.TestCase):
    """Runs the binary under test; every run must keep standard error empty."""

    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise RuntimeError(f"RTPROBE={BINARY!r} is not an executable rtprobe binary")

    def run_tool(self, *args, board=None, device="image"):
        result = rtsim.run(BINARY, list(args), board, device)
        self.assertEqual(result.stderr, b"", f"stderr of rtprobe {' '.join(args)}")
        return result

    def bench(self, board=None, device="image"):
        """A board kept for several runs, or for looking at the image after one."""
        bench = rtsim.Bench(BINARY, board, device)
        self.addCleanup(bench.close)
        return bench
