# SPDX-License-Identifier: MIT
# The hardware contract of rtprobe's board commands (binary RTPROBE): its /dev/mem
# system calls, each access inside its window, the board build's window code.

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_cases import BINARY, BOARDS, first_difference, rtsim  # noqa: E402

TABLE, TABLE_READ = (0xF0010000, 32768), [("L", 4 * i, 4) for i in range(8192)]
# Each board command: its one window (physical address, length) and every
# access inside it, in order, as (L load / S store / M both, byte offset, size).
COMMANDS = {"-rx_raw": (*TABLE, TABLE_READ), "-rx": (*TABLE, TABLE_READ),
            "-rx_by_node": (*TABLE, TABLE_READ),
            "-clear": (*TABLE, [("S", offset, 4) for _, offset, _ in TABLE_READ]),
            "-mgt_status": (0xF0000000, 4, [("L", 0x240, 4), ("L", 0x244, 4), ("L", 0x220, 4)]),
            "-mgt_loopback": (0xF0000000, 4, [("L", 0x34, 4), ("L", 0x38, 4)])}
NO_DEVICE = [[], ["-tx"], ["-tx_node", "1"], ["-read", "1"], ["-write", "1", "2"],
             ["-write_kp", "1"], ["-no_write"], ["-no_read"], ["-normal"]]
# strace, or qemu-ppc -strace: "[pid ]name(arguments) = result".
CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)\) += (\S+)", re.M)
# lackey: a mapping at one of the FPGA's physical addresses, its length and base.
LACKEY_MMAP = re.compile(r"sys_mmap \( \S+, (\d+), \d+, \d+, \d+, (40[2-9]\d{7}) \)"
                         r".*Success\((0x\w+)\)")


def device_calls(args):  # the calls of one run on /dev/mem, mmap offsets in bytes
    with rtsim.Bench(BINARY, device="image" if set(args) & set(COMMANDS) else "missing") as bench:
        log, ppc = os.path.join(bench.work, "strace.log"), bench.target == "ppc"
        done = bench.run(args, wrapper=() if ppc else ["strace", "-o", log],
                         qemu_options=["-strace"] if ppc else ())
        text = done.stderr.decode() if ppc else open(log, encoding="utf-8", errors="replace").read()
    fd, base, calls = None, None, []
    for name, args, result in CALL.findall(text):
        args = [a.strip() for a in args.split(",")]
        if name in ("open", "openat") and '"/dev/mem"' in args:  # qemu: O_SYNC is O_DSYNC|__O_SYNC
            flags = set(args[-1].replace("O_DSYNC|__O_SYNC", "O_SYNC").split("|")) - {"O_LARGEFILE"}
            fd, calls = result, calls + [("open", "|".join(sorted(flags)))]
        elif name in ("mmap", "mmap2") and args[4] == fd:
            scale = 4096 if name == "mmap2" else 1
            base, calls = result, calls + [("mmap", args[0], int(args[1]), *args[2:4],
                                            int(args[5], 0) * scale)]
        elif (name, args[:1]) in (("munmap", [base]), ("close", [fd])):
            calls.append((name, *map(int, args[1:])))
    return calls


class SystemCalls(unittest.TestCase):
    def test_board_commands_map_one_window_and_others_none(self):
        for command, (address, length, _) in COMMANDS.items():
            self.assertEqual(device_calls([command]), [
                ("open", "O_RDWR|O_SYNC"),
                ("mmap", "NULL", length, "PROT_READ|PROT_WRITE", "MAP_SHARED", address),
                ("munmap", length), ("close",)], command)
        self.assertEqual([device_calls(args) for args in NO_DEVICE], [[]] * len(NO_DEVICE))


class WindowAccesses(unittest.TestCase):
    # (address, length, accesses) of the one window of a run, traced on varied
    # words, so that value-dependent accesses show.
    def window(self, command):
        with rtsim.Bench(BINARY, BOARDS["varied"]) as bench:
            log = os.path.join(bench.work, "lackey.log")
            # Unoptimised IR, so that a load whose value goes unused is traced.
            bench.run([command], wrapper=["valgrind", "--tool=lackey", "--trace-mem=yes",
                                          "--vex-iropt-level=0", "--trace-syscalls=yes",
                                          "--log-file=" + log])
            text = open(log, encoding="utf-8", errors="replace").read()
        (m,) = LACKEY_MMAP.finditer(text)
        length, base, pages = int(m[1]), int(m[3], 16), -(-int(m[1]) // 4096) * 4096
        mapped = text[m.end():text.find(f"sys_munmap ( {m[3]},", m.end())]
        return int(m[2]), length, [(kind, int(at, 16) - base, int(size)) for kind, at, size
                                   in re.findall(r"^ ([LSM]) (\w+),(\d+)", mapped, re.M)
                                   if 0 <= int(at, 16) - base < pages]

    def test_each_command_makes_exactly_its_accesses(self):
        # The RX reports read the table through one function, before they look at
        # their mode, and under lackey each costs 10 to 40 s: -rx stands for them.
        for command in ("-rx", "-clear", "-mgt_status", "-mgt_loopback"):
            address, length, accesses = self.window(command)
            got, want = first_difference(accesses, COMMANDS[command][2])
            self.assertEqual((address, length, got), (*COMMANDS[command][:2], want), command)


class BoardCode(unittest.TestCase):
    # The window is uncached device memory on the board: only whole-word loads
    # and stores may reach it; a library fill or copy uses any width, and dcbz
    # (zero a cache block) faults there. Accesses through r1 are the stack.
    def test_window_code_uses_whole_words_only(self):
        listing = subprocess.run([os.environ["OBJDUMP"], "-dC", "--no-show-raw-insn", BINARY],
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
