# SPDX-License-Identifier: MIT
"""Hardware contract, host build: every load and store that a hardware command
makes inside its /dev/mem window, traced by valgrind's lackey tool.

The window's place in the process comes from the traced mmap of /dev/mem;
each access inside its pages while it is mapped is (kind, byte offset, size),
kind L (load), S (store) or M (modify: a load and a store)."""

import os
import unittest

import traces  # first: it puts the e2e helpers on the path
import rtcase  # noqa: E402

TABLE_READ = [("L", 4 * i, 4) for i in range(8192)]

# Exactly these accesses, in this order, and nothing else in the window.
ACCESSES = {
    "-rx_raw": TABLE_READ,
    "-rx": TABLE_READ,
    "-rx_by_node": TABLE_READ,
    "-clear": [("S", 4 * i, 4) for i in range(8192)],
    "-mgt_status": [("L", 0x240, 4), ("L", 0x244, 4), ("L", 0x220, 4)],  # Tx, Rx, clock
    "-mgt_loopback": [("L", 0x34, 4), ("L", 0x38, 4)],  # far, near
}


def show(accesses, n):
    if n >= len(accesses):
        return "nothing"
    kind, offset, size = accesses[n]
    return f"{kind} of {size} bytes at +{offset:#x}"


class AccessTrace(rtcase.RtprobeCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.valgrind = traces.require_tool("valgrind")

    def windows(self, command):
        bench = self.bench()
        log = os.path.join(bench.work, "lackey.log")
        # Without IR optimisation, so that a load whose value goes unused is
        # still traced.
        result = bench.run([command], wrapper=[
            self.valgrind, "--tool=lackey", "--vex-iropt-level=0", "--trace-mem=yes",
            "--trace-syscalls=yes", "--log-file=" + log])
        self.assertEqual(result.status, 0, (result.stdout + result.stderr).decode(errors="replace"))
        return traces.read_lackey(log)

    def assertAccesses(self, actual, expected):
        if actual == expected:
            return
        n = next((i for i, (a, e) in enumerate(zip(actual, expected)) if a != e),
                 min(len(actual), len(expected)))
        self.fail(f"{len(actual)} accesses in the window, {len(expected)} expected; "
                  f"access {n} is {show(actual, n)}, expected {show(expected, n)}")

    def test_each_command_makes_exactly_its_accesses(self):
        for command, expected in ACCESSES.items():
            with self.subTest(command):
                windows = self.windows(command)
                self.assertEqual([(w.address, w.length) for w in windows],
                                 [traces.WINDOWS[command]], "windows mapped")
                self.assertAccesses(windows[0].accesses, expected)


if __name__ == "__main__":
    unittest.main()
