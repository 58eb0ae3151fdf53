# SPDX-License-Identifier: MIT
"""The hardware contract of rtprobe's board commands, for the binary under test
(RTPROBE): the system calls on /dev/mem (strace for a host build, qemu-ppc
-strace for the board build), every load and store inside the window (valgrind's
lackey, host build) and the instructions of the board build's window code."""

import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_cases import BINARY, BOARDS, rtsim  # noqa: E402

TABLE_READ = [("L", 4 * i, 4) for i in range(8192)]
# Each board command: its one window (physical address, length) and every
# access inside it, in order, as (L load / S store / M both, byte offset, size).
COMMANDS = {
    "-rx_raw": (0xF0010000, 32768, TABLE_READ),
    "-rx": (0xF0010000, 32768, TABLE_READ),
    "-rx_by_node": (0xF0010000, 32768, TABLE_READ),
    "-clear": (0xF0010000, 32768, [("S", 4 * i, 4) for i in range(8192)]),
    "-mgt_status": (0xF0000000, 4, [("L", 0x240, 4), ("L", 0x244, 4), ("L", 0x220, 4)]),
    "-mgt_loopback": (0xF0000000, 4, [("L", 0x34, 4), ("L", 0x38, 4)]),
}
NO_DEVICE = [[], ["-tx"], ["-tx_node", "1"], ["-read", "1"], ["-write", "1", "2"],
             ["-write_kp", "1"], ["-no_write"], ["-no_read"], ["-normal"]]
CALL = re.compile(r"(?:\d+ +)?(\w+)\((.*)\) += (\S+)")
LACKEY_MMAP = re.compile(r"sys_mmap \( \S+, (\d+), \d+, \d+, \d+, (40[2-9]\d{7}) \).*Success\((0x\w+)\)")


def tool(name):
    return shutil.which(name) or sys.exit(f"{name} is missing (scripts/install-deps installs it)")


def device_calls(args, device="image"):
    """The calls on /dev/mem of one run, mmap offsets in bytes, flags as
    the kernel takes them (qemu shows O_SYNC as O_DSYNC|__O_SYNC)."""
    with rtsim.Bench(BINARY, device=device) as bench:
        log = os.path.join(bench.work, "strace.log")
        if bench.target == "ppc":
            text = bench.run(args, qemu_options=["-strace"]).stderr.decode()
        else:
            bench.run(args, wrapper=[tool("strace"), "-f", "-o", log])
            text = open(log, encoding="utf-8", errors="replace").read()
    fd = base = None
    calls = []
    for name, args, result in (m.groups() for m in map(CALL.match, text.splitlines()) if m):
        args = [a.strip() for a in args.split(",")]
        if name in ("open", "openat") and '"/dev/mem"' in args:
            flags = set(args[-1].replace("O_DSYNC|__O_SYNC", "O_SYNC").split("|"))
            calls.append(("open", "|".join(sorted(flags - {"O_LARGEFILE"}))))
            fd = result
        elif name in ("mmap", "mmap2") and args[4] == fd:
            scale = 4096 if name == "mmap2" else 1
            calls.append(("mmap", args[0], int(args[1]), *args[2:4], int(args[5], 0) * scale))
            base = result
        elif (name, args[:1]) in (("munmap", [base]), ("close", [fd])):
            calls.append((name, *map(int, args[1:])))
    return calls


class SystemCalls(unittest.TestCase):
    def test_board_commands_map_one_window(self):
        for command, (address, length, _) in COMMANDS.items():
            with self.subTest(command):
                self.assertEqual(device_calls([command]), [
                    ("open", "O_RDWR|O_SYNC"),
                    ("mmap", "NULL", length, "PROT_READ|PROT_WRITE", "MAP_SHARED", address),
                    ("munmap", length), ("close",)])
        self.assertEqual([c[0] for c in device_calls(["-rx"], "unmappable")],
                         ["open", "mmap", "close"])

    def test_other_commands_leave_the_device_alone(self):
        for args in NO_DEVICE:
            self.assertEqual(device_calls(args, "missing"), [], args)


class WindowAccesses(unittest.TestCase):
    def windows(self, command):
        """(address, length, accesses) of each window of one run, traced on a
        board of varied words so that value-dependent accesses show."""
        with rtsim.Bench(BINARY, BOARDS["varied"]) as bench:
            log = os.path.join(bench.work, "lackey.log")
            # Unoptimised IR, so that a load whose value goes unused is traced.
            bench.run([command], wrapper=[tool("valgrind"), "--tool=lackey", "--trace-mem=yes",
                                          "--vex-iropt-level=0", "--trace-syscalls=yes",
                                          "--log-file=" + log])
            text = open(log, encoding="utf-8", errors="replace").read()
        windows = []
        for m in LACKEY_MMAP.finditer(text):  # mappings at the FPGA's physical addresses
            length, base, pages = int(m[1]), int(m[3], 16), -(-int(m[1]) // 4096) * 4096
            mapped = text[m.end():text.find(f"sys_munmap ( {m[3]},", m.end())]
            windows.append((int(m[2]), length, [
                (kind, int(at, 16) - base, int(size)) for kind, at, size
                in re.findall(r"^ ([LSM]) (\w+),(\d+)", mapped, re.M)
                if 0 <= int(at, 16) - base < pages]))
        return windows

    def test_each_command_makes_exactly_its_accesses(self):
        # -rx_raw reads through the same code as -rx; under lackey its report takes 40 s.
        for command in ("-rx", "-rx_by_node", "-clear", "-mgt_status", "-mgt_loopback"):
            with self.subTest(command):
                (address, length, accesses), = self.windows(command)
                expected = COMMANDS[command][2]
                n = next((i for i, pair in enumerate(zip(accesses, expected)) if len(set(pair)) > 1),
                         min(len(accesses), len(expected)))
                self.assertEqual((address, length, accesses[n:n + 3], len(accesses)),
                                 (*COMMANDS[command][:2], expected[n:n + 3], len(expected)))


class BoardCode(unittest.TestCase):
    """The window is uncached device memory on the board: only whole-word loads
    and stores may reach it; a library fill or copy uses any width, and dcbz
    (zero a cache block) faults there. Accesses through r1 are the stack."""

    def test_window_code_uses_whole_words_only(self):
        listing = subprocess.run([tool(os.environ.get("OBJDUMP") or "powerpc-linux-gnu-objdump"),
                                  "-d", "-C", "--no-show-raw-insn", BINARY],
                                 capture_output=True, text=True, check=True).stdout
        for name in ("read_rx_table", "ClearTables", "mgt_link_status", "loopback_status"):
            body = re.search(r"^[0-9a-f]+ <%s\(.*?\n\n" % name, listing, re.M | re.S)[0]
            code = re.findall(r"^\s+[0-9a-f]+:\s+(\S+)\s*(.*)$", body, re.M)
            self.assertEqual([f"{op} {operands}" for op, operands in code
                              if re.match(r"(l|st)[bhwdfvms]|dcb[az]|ev(l|st)", op)
                              and not re.fullmatch(r"(lwz|stw)u?x?|lwsync", op)
                              and not operands.endswith("(r1)")
                              or re.search(r"<[^>]*\b(memset|memcpy|memmove|bzero)\b", operands)],
                             [], name)
            self.assertTrue(code, name)


if __name__ == "__main__":
    unittest.main()
