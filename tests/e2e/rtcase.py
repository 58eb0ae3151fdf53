# SPDX-License-Identifier: MIT
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

    def assertOutput(self, actual, expected, what):
        """Byte-exact output, reported by its first differing line."""
        expected = expected.encode("ascii")
        if actual == expected:
            return
        got, want = actual.split(b"\n"), expected.split(b"\n")
        n = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                 min(len(got), len(want)))
        self.fail(f"{what}: line {n + 1} differs: got {got[n:n + 1]!r}, "
                  f"expected {want[n:n + 1]!r} ({len(got)} vs {len(want)} lines)")

    def bench(self, board=None, device="image"):
        """A board kept for several runs, or for looking at the image after one."""
        bench = rtsim.Bench(BINARY, board, device)
        self.addCleanup(bench.close)
        return bench
