# SPDX-License-Identifier: MIT
"""Shared ground for the hardware contract tests: the windows each hardware
command maps, the tracing tools, and readers for what the tracers write
(valgrind's lackey log, strace and qemu-ppc -strace lines, objdump listings)."""

import dataclasses
import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))

import rtcase  # noqa: E402,F401  (also puts sim/ on the path)
import rtsim  # noqa: E402

PAGE = 4096

# The one window each hardware command maps: physical address and length.
WINDOWS = {
    "-rx_raw": (0xF0010000, 32768),
    "-rx": (0xF0010000, 32768),
    "-rx_by_node": (0xF0010000, 32768),
    "-clear": (0xF0010000, 32768),
    "-mgt_status": (0xF0000000, 4),
    "-mgt_loopback": (0xF0000000, 4),
}


def require_tool(name):
    """The path of a tool the test needs. Missing, it fails the run under CI
    (CI=true) and skips it elsewhere."""
    path = shutil.which(name)
    if path:
        return path
    message = f"{name} is not installed (scripts/install-deps installs it)"
    if os.environ.get("CI") == "true":
        raise RuntimeError(message)
    raise unittest.SkipTest(message)


# --- valgrind --tool=lackey --trace-mem=yes --trace-syscalls=yes ----------

@dataclasses.dataclass
class Window:
    """One mapping of /dev/mem and the data accesses made inside its pages
    while it was mapped: (kind, byte offset, size), kind L, S or M (modify)."""

    address: int
    length: int
    base: int
    accesses: list = dataclasses.field(default_factory=list)

    @property
    def end(self):
        return self.base + -(-self.length // PAGE) * PAGE


_LACKEY_CALL = re.compile(r"sys_(\w+) \( (.*?) \)")
_LACKEY_RESULT = re.compile(r"--> (?:\[[\w-]+\] )?(Success|Failure)\((0x[0-9a-f]+)\)")


def read_lackey(path):
    """The windows onto /dev/mem in a lackey log, in mapping order."""
    windows, live, device_fds, pending = [], None, set(), None
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            if line[0] == " ":  # " L addr,size": a data access
                if live:
                    address, size = line[3:].split(",")
                    address, size = int(address, 16), int(size)
                    if address < live.end and address + size > live.base:
                        live.accesses.append((line[1], address - live.base, size))
                continue
            if not line.startswith("SYSCALL"):
                continue
            call, result = _LACKEY_CALL.search(line), _LACKEY_RESULT.search(line)
            if call:  # a blocking call prints its result on a later line
                pending = (call[1], call[2].split(", "))
            if not (result and pending):
                continue
            (name, args), pending = pending, None
            if result[1] != "Success":
                continue
            value = int(result[2], 16)
            path = args[1] if name == "openat" else args[0]
            if name in ("open", "openat") and path.endswith("(/dev/mem)"):
                device_fds.add(value)
            elif name == "mmap" and int(args[4]) in device_fds:
                live = Window(int(args[5]), int(args[1]), value)
                windows.append(live)
            elif name == "munmap" and live and int(args[0], 16) == live.base:
                live = None
            elif name == "close":
                device_fds.discard(int(args[0]))
    return windows


# --- strace -f -o LOG, qemu-ppc -strace -----------------------------------

@dataclasses.dataclass
class Call:
    name: str
    args: list
    result: str


_CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)\)\s+=\s+(\S+)")


def split_args(text):
    """Splits a call's arguments at the commas outside strings and brackets."""
    args, depth, quoted, escaped, start = [], 0, False, False, 0
    for i, c in enumerate(text):
        if escaped:
            escaped = False
        elif quoted:
            escaped, quoted = c == "\\", c != '"'
        elif c == '"':
            quoted = True
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    return args + [text[start:].strip()]


def read_calls(text):
    """The completed system calls of a strace log or of qemu-ppc -strace."""
    calls = []
    for line in text.splitlines():
        match = _CALL.match(line.strip())
        if match:
            calls.append(Call(match[1], split_args(match[2]), match[3]))
    return calls


def number(text):
    return 0 if text == "NULL" else int(text, 0)


def flag_set(text):
    """Flag names of an open call. O_SYNC shows as O_DSYNC|__O_SYNC under
    qemu; O_LARGEFILE, which the C library adds for 64-bit file offsets on
    the 32-bit board, changes nothing."""
    flags = set(text.split("|")) - {"O_LARGEFILE"}
    if {"O_DSYNC", "__O_SYNC"} <= flags:
        flags = flags - {"O_DSYNC", "__O_SYNC"} | {"O_SYNC"}
    return flags


def opened(call):
    """(path, flags) of an open call, None for any other call."""
    args = call.args
    if call.name == "creat":
        return args[0].strip('"'), {"O_CREAT", "O_WRONLY", "O_TRUNC"}
    if call.name == "open":
        return args[0].strip('"'), flag_set(args[1])
    if call.name == "openat":
        return args[1].strip('"'), flag_set(args[2])
    return None


def writes(flags):
    return bool(flags & {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"})


# --- objdump -d -C --no-show-raw-insn ---------------------------------------

@dataclasses.dataclass
class Insn:
    address: int
    mnemonic: str
    operands: str
    target: int = None  # a direct branch's or call's target
    callee: str = ""    # the symbol objdump names at the target


_SYMBOL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
_INSN = re.compile(r"^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$")
_TARGET = re.compile(r"\b([0-9a-f]+) <([^>]*)>")


def read_objdump(text):
    """Instructions by symbol (demangled) of an objdump -d listing."""
    symbols, current = {}, None
    for line in text.splitlines():
        symbol = _SYMBOL.match(line)
        if symbol:
            current = symbols.setdefault(symbol[2], [])
            continue
        insn = _INSN.match(line)
        if insn and current is not None:
            target = _TARGET.search(insn[3])
            current.append(Insn(int(insn[1], 16), insn[2].rstrip("+-"), insn[3],
                                int(target[1], 16) if target else None,
                                target[2] if target else ""))
    return symbols


def function_code(symbols, name):
    """The instructions of a function and of its compiler clones (.cold,
    .part, .isra), in address order."""
    pattern = re.compile(re.escape(name) + r"\(")
    return sorted((insn for symbol, code in symbols.items() if pattern.match(symbol)
                   for insn in code), key=lambda insn: insn.address)


# PowerPC branches: b<condition><lr|ctr><l: link><a: absolute>.
_BRANCH = re.compile(r"^b(lt|le|eq|ge|gt|nl|ne|ng|so|ns|un|nu|dnzt|dnzf|dnz|dzt|dzf|dz|t|f|c)?"
                     r"(lr|ctr|tar)?(l)?a?$")


def successors(code, n, index):
    """Indexes of the instructions that can follow code[n] in the function;
    index maps an address to its instruction's index."""
    insn, after = code[n], []
    if n + 1 < len(code) and code[n + 1].address == insn.address + 4:
        after.append(n + 1)
    branch = _BRANCH.match(insn.mnemonic)
    if not branch:
        return after
    condition, register, link = branch.groups()
    if link:                   # a call returns to the next instruction
        return after
    if register:               # return or indirect jump: only a conditional one falls through
        return after if condition else []
    inside = [index[insn.target]] if insn.target in index else []
    return inside + (after if condition else [])


def loop_indexes(code):
    """Indexes of the instructions on a cycle of the function's control flow."""
    index = {insn.address: n for n, insn in enumerate(code)}
    edges = [successors(code, n, index) for n in range(len(code))]
    looping = set()
    for n in range(len(code)):
        seen, todo = set(), list(edges[n])
        while todo and n not in seen:
            m = todo.pop()
            if m not in seen:
                seen.add(m)
                todo.extend(edges[m])
        if n in seen:
            looping.add(n)
    return looping
