# SPDX-License-Identifier: MIT
# The hardware contract of rtprobe's board commands (binary RTPROBE): its
# /dev/mem system calls, each access inside its window, the board build's
# window code.

import os
import re
import subprocess
import sys
import tempfile
import unittest

# Run from this folder, as `python3 -m unittest test_contract` is.
sys.path.insert(0, "../e2e")
from test_cases import BINARY, BOARDS, ISOLATION, rtsim

# Each traced run's time limit, in seconds. lackey writes a line a call, and
# proot stops each call: -rx then takes some 50 s of CPU instead of 3.
LIMIT = 600


# Each word of the RX table in turn, upward.
def table_words(kind):
    return [(kind, 4 * i, 4) for i in range(8192)]


# Each board command: its one window (physical address, length) and
# every access inside it, in order: (kind, byte offset, size), kinds
# as lackey names them: L load, S store, M both. -rx stands for the
# other RX reports: they read the table through the same function
# before they look at their mode.
COMMANDS = {
    "-rx": (0xF0010000, 32768, table_words("L")),
    "-clear": (0xF0010000, 32768, table_words("S")),
    "-mgt_status": (0xF0000000, 4, [("L", 0x240, 4), ("L", 0x244, 4), ("L", 0x220, 4)]),
    "-mgt_loopback": (0xF0000000, 4, [("L", 0x34, 4), ("L", 0x38, 4)]),
}

# strace, or qemu-ppc -strace: "[pid ]name(arguments) = result".
CALL = re.compile(r"(\w+)\((.*)\) += (\S+)")
# valgrind --trace-syscalls=yes, the trace where strace cannot run (under
# proot, itself the tracer): "SYSCALL[pid,tid](number) sys_name ( arguments )
# --> Success(0xresult)", numbers in decimal; a call that may block gives
# its result on a line of its own ("(number) ... [async] --> Success(...)").
VALGRIND = re.compile(r"^SYSCALL\[\d+,\d+\]\((\d+)\) (?:(?:sys_)?(\w+) ?\( (.*?) \))?.*?"
                      r"(?:(Success|Failure)\((\w+)\))? *$", re.M)
OPEN_FLAGS = {0o4010000: "O_SYNC", 0o2000000: "O_CLOEXEC", 0o100000: "O_LARGEFILE"}
PROT = {1: "PROT_READ", 2: "PROT_WRITE", 4: "PROT_EXEC"}
MAP = {1: "MAP_SHARED", 2: "MAP_PRIVATE"}
# lackey: a line for each access (" L address,size")
# and each system call ("sys_munmap ( base, length )"). Unoptimised IR,
# so that a load whose value goes unused is traced.
LACKEY = ["valgrind", "--tool=lackey", "--trace-mem=yes",
          "--vex-iropt-level=0", "--trace-syscalls=yes"]
UNMAP = re.compile(r"sys_munmap \( (\w+), (\d+)")
ACCESS = re.compile(r"^ ([LSM]) (\w+),(\d+)", re.M)


# Flag names as strace joins them; bits it would not name, in hex.
def flag_names(value, names, first=""):
    found = [first] if first else []
    for bit, name in names.items():
        if value & bit == bit:
            found.append(name)
            value &= ~bit
    return "|".join(found + ([hex(value)] if value else []))


# strace's lines: (name, arguments, result).
def strace_calls(log):
    return [(name, re.split(", ?", arguments), result)
            for name, arguments, result in CALL.findall(log)]


# valgrind's lines, with the arguments of the calls on /dev/mem as strace
# spells them.
def valgrind_calls(log):
    calls, pending = [], {}
    for number, name, arguments, outcome, value in VALGRIND.findall(log):
        if name:
            pending[number] = (name, arguments.split(", "))
        if not outcome:
            continue
        name, args = pending.pop(number, ("", []))
        result = str(int(value, 16)) if outcome == "Success" else "-1"
        if name == "openat":
            path = re.sub(r"^\w+\((.*)\)$", r'"\1"', args[1])
            flags = int(args[2])
            args = [args[0], path, flag_names(flags & ~3, OPEN_FLAGS,
                                               ["O_RDONLY", "O_WRONLY", "O_RDWR"][flags & 3])]
        elif name == "mmap":
            result = value
            address = "NULL" if args[0] == "0x0" else args[0]
            args = [address, args[1], flag_names(int(args[2]), PROT) or "PROT_NONE",
                    flag_names(int(args[3]), MAP), str(int(args[4])), hex(int(args[5]))]
        calls.append((name, args, result))
    return calls


# The calls on /dev/mem: its open, the mmap of its descriptor, the
# munmap of that mapping, its close. qemu's spelling of O_SYNC and its
# mmap2 offset (in pages) are put as strace puts them.
def device_calls(calls):
    fd = base = None
    found = []
    for name, args, result in calls:
        if '"/dev/mem"' in args:
            fd = result
            found.append("open " + args[2].replace(
                "O_LARGEFILE|O_DSYNC|__O_SYNC", "O_SYNC"))
        elif name.startswith("mmap") and args[4] == fd:
            base = result
            offset = int(args[5], 0)
            if name == "mmap2":
                offset *= 4096
            found.append(" ".join(["mmap", *args[:4], hex(offset)]))
        elif name == "munmap" and args[0] == base:
            found.append("munmap " + args[1])
        elif name == "close" and args == [fd]:
            found.append("close")
    return found


# Each access from the open of /dev/mem to the first munmap after it,
# in the pages that munmap releases: the window's.
def window_accesses(log):
    opened = log.index("(/dev/mem)")
    unmap = UNMAP.search(log, opened)
    base = int(unmap[1], 16)
    pages = (int(unmap[2]) + 4095) // 4096 * 4096
    accesses = []
    for kind, address, size in ACCESS.findall(log, opened, unmap.start()):
        offset = int(address, 16) - base
        if 0 <= offset < pages:
            accesses.append((kind, offset, int(size)))
    return accesses


# The system calls of a run: qemu-ppc's own trace for the board build; on
# the host strace, or under proot, which is itself the tracer, valgrind's.
def traced(bench, args):
    if bench.target == "ppc":
        done = bench.run(args, qemu_options=["-strace"], timeout=LIMIT)
        return strace_calls(done.stderr.decode())
    if bench.isolation == "proot":
        done = bench.run(args, wrapper=["valgrind", "--trace-syscalls=yes"], timeout=LIMIT)
        return valgrind_calls(done.stderr.decode())
    done = bench.run(args, wrapper=["strace"], timeout=LIMIT)
    return strace_calls(done.stderr.decode())


class SystemCalls(unittest.TestCase):
    def test_one_window_each(self):
        for command, (address, length, _) in COMMANDS.items():
            with rtsim.Bench(BINARY, isolation=ISOLATION) as bench:
                calls = traced(bench, [command])
            self.assertEqual(device_calls(calls), [
                "open O_RDWR|O_SYNC",
                f"mmap NULL {length} PROT_READ|PROT_WRITE MAP_SHARED {address:#x}",
                f"munmap {length}",
                "close",
            ], command)


class WindowAccesses(unittest.TestCase):
    def test_exact_accesses(self):
        for command, (_, _, want) in COMMANDS.items():
            # Varied non-zero words, so that value-dependent accesses show.
            # The log to a file: through a pipe, the run takes half as long
            # again.
            # Outside the run's folder, which the run itself cannot reach.
            with rtsim.Bench(BINARY, BOARDS["varied"], isolation=ISOLATION) as bench, \
                    tempfile.TemporaryDirectory() as folder:
                log = folder + "/log"
                bench.run([command], wrapper=[*LACKEY, "--log-file=" + log], timeout=LIMIT)
                with open(log) as f:
                    got = window_accesses(f.read())
            # From the first difference: commonprefix compares lists too.
            at = len(os.path.commonprefix([got, want]))
            self.assertEqual(got[at:at + 3], want[at:at + 3],
                             f"{command} at {at}")


# objdump: "address <name(arguments)>:", a line for each instruction
# ("address: operation operands"), a blank line. A call names its target
# in the operands, as in "<...memset@@GLIBC_2.0>" on the board.
MEMORY = re.compile(r"l[bhwdfvms]|st|dcb[az]")
WORD = re.compile(r"(lwz|stw)u?x?")
FILL = re.compile(r"\b(memset|memcpy|memmove|bzero)\b")


# The window is uncached device memory on the board: only whole-word
# loads and stores may reach it; a library fill or copy uses any width,
# and dcbz (zero a cache block) faults there. Accesses through r1 are
# on the stack.
def whole_words_only(instruction):
    operation = instruction.split()[1]
    if FILL.search(instruction):
        return False
    if instruction.endswith("(r1)") or WORD.fullmatch(operation):
        return True
    return not MEMORY.match(operation)


class BoardCode(unittest.TestCase):
    def test_whole_words_only(self):
        listing = subprocess.check_output(
            [os.environ["OBJDUMP"], "-dC", "--no-show-raw-insn", BINARY],
            text=True, timeout=60)
        for name in ("read_rx_table", "ClearTables",
                     "mgt_link_status", "loopback_status"):
            body = re.search(rf"^\w+ <{name}\(.*?(?=\n\n)", listing, re.M | re.S)
            code = body[0].splitlines()[1:]
            bad = [line for line in code if not whole_words_only(line)]
            self.assertEqual(bad, [], name)

