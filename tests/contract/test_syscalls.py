# SPDX-License-Identifier: MIT
"""Hardware contract: the system calls through which each command reaches
/dev/mem, traced with strace for the host build and with qemu-ppc -strace for
the PowerPC build (qemu prints the guest's own calls: mmap2 takes its offset
in 4096-byte pages)."""

import os
import unittest

import traces  # first: it puts the e2e helpers on the path
import rtcase  # noqa: E402
import rtsim  # noqa: E402

# Commands that must not touch the device at all.
OTHER_COMMANDS = [[], ["-tx"], ["-tx_node", "1"], ["-read", "1"], ["-write", "1", "2"],
                  ["-write_kp", "1"], ["-no_write"], ["-no_read"], ["-normal"]]


def device_calls(calls):
    """The calls on the device, in order, with its descriptor shown as "fd",
    the mapped base as "base" and mmap offsets in bytes."""
    fd = base = None
    device = []
    for call in calls:
        args, opened = call.args, traces.opened(call)
        if opened and opened[0] == "/dev/mem":
            device.append(("open", *opened))
            fd = call.result
        elif call.name in ("mmap", "mmap2") and fd is not None and args[4] == fd:
            unit = traces.PAGE if call.name == "mmap2" else 1
            device.append(("mmap", traces.number(args[0]), traces.number(args[1]),
                           set(args[2].split("|")), set(args[3].split("|")), "fd",
                           traces.number(args[5]) * unit))
            base = call.result
        elif call.name == "munmap" and base is not None and args[0] == base:
            device.append(("munmap", "base", traces.number(args[1])))
        elif call.name == "close" and fd is not None and args[0] == fd:
            device.append(("close", "fd"))
            fd = None
    return device


def opens(calls):
    """(path, flags) of every open call."""
    return [traces.opened(call) for call in calls if traces.opened(call)]


class SystemCalls(rtcase.RtprobeCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        ppc = rtsim.binary_target(rtcase.BINARY)[0] == "ppc"
        cls.tracer = traces.require_tool("qemu-ppc" if ppc else "strace")

    def calls(self, args):
        bench = self.bench()
        if bench.target == "ppc":
            result = bench.run(args, qemu_options=["-strace"])
            text = result.stderr.decode(errors="replace")
        else:
            log = os.path.join(bench.work, "strace.log")
            result = bench.run(args, wrapper=[self.tracer, "-f", "-o", log])
            with open(log, encoding="utf-8", errors="replace") as f:
                text = f.read()
        calls = traces.read_calls(text)
        # The loader's opens prove that the trace was read.
        self.assertTrue(opens(calls), "no open call in the trace")
        return result, calls

    def assertOpensNothingElseForWriting(self, calls):
        self.assertEqual([path for path, flags in opens(calls)
                          if path != "/dev/mem" and traces.writes(flags)], [],
                         "files opened for writing")

    def test_hardware_commands_map_one_window(self):
        for command, (address, length) in traces.WINDOWS.items():
            with self.subTest(command):
                result, calls = self.calls([command])
                self.assertEqual(device_calls(calls), [
                    ("open", "/dev/mem", {"O_RDWR", "O_SYNC"}),
                    ("mmap", 0, length, {"PROT_READ", "PROT_WRITE"}, {"MAP_SHARED"}, "fd", address),
                    ("munmap", "base", length),
                    ("close", "fd"),
                ])
                self.assertEqual(result.status, 0)
                self.assertOpensNothingElseForWriting(calls)

    def test_other_commands_leave_the_device_alone(self):
        for args in OTHER_COMMANDS:
            with self.subTest(" ".join(args) or "usage"):
                result, calls = self.calls(args)
                self.assertIn(result.status, (0, 255))
                self.assertEqual([path for path, _ in opens(calls)
                                  if os.path.basename(path) == "mem"], [])
                self.assertOpensNothingElseForWriting(calls)


if __name__ == "__main__":
    unittest.main()
