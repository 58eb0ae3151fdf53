# SPDX-License-Identifier: MIT
"""Hardware contract, PowerPC build: the instructions with which the board
binary reaches the FPGA, read from its disassembly.

On the board the window is uncached device memory: every access must be one
whole-word load or store. A library fill or copy (memset, memcpy, memmove)
would touch it in whatever widths it likes, and dcbz (zero a cache block)
faults on uncached memory."""

import os
import subprocess
import unittest

import traces  # first: it puts the e2e helpers on the path
import rtcase  # noqa: E402
import rtsim  # noqa: E402

WORD_LOADS = {"lwz", "lwzu", "lwzx", "lwzux"}
WORD_STORES = {"stw", "stwu", "stwx", "stwux"}
CACHE_ZEROING = {"dcbz", "dcbzl", "dcba", "dcbal"}
BULK_ROUTINES = ("memset", "memcpy", "memmove", "bzero")

# Function: the whole-word access its table loop makes (None: no loop), and
# the library routines it may call outside that loop.
FUNCTIONS = {
    # Making room moves what the copy already held, before the loop.
    "read_rx_table": (WORD_LOADS, {"memmove", "memcpy", "memset"}),
    "ClearTables": (WORD_STORES, set()),
    "mgt_link_status": (None, set()),
    "loopback_status": (None, set()),
}


def is_access(mnemonic):
    """Loads and stores of any width (li, lis and lwsync are neither)."""
    return (mnemonic.startswith(("lb", "lh", "lw", "ld", "lf", "lv", "lmw", "lsw", "evl",
                                 "stb", "sth", "stw", "std", "stf", "stv", "stm", "sts", "evst"))
            and mnemonic != "lwsync")


def on_window(insn):
    """Accesses through r1 are the function's own stack frame (a size-optimised
    prologue saves registers with stmw); everything else may be the window."""
    return is_access(insn.mnemonic) and not insn.operands.endswith("(r1)")


def show(insn):
    return f"{insn.address:x}: {insn.mnemonic} {insn.operands}"


def bulk_routine(insn):
    return next((name for name in BULK_ROUTINES if name in insn.callee), None)


class TargetCode(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if rtsim.binary_target(rtcase.BINARY)[0] != "ppc":
            raise RuntimeError(f"{rtcase.BINARY} is not a PowerPC binary")
        objdump = traces.require_tool(os.environ.get("OBJDUMP") or "powerpc-linux-gnu-objdump")
        listing = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", rtcase.BINARY],
                                 capture_output=True, text=True, check=True).stdout
        cls.symbols = traces.read_objdump(listing)

    def test_window_code_uses_whole_words_only(self):
        for name, (loop_access, allowed_outside_loop) in FUNCTIONS.items():
            with self.subTest(name):
                code = traces.function_code(self.symbols, name)
                self.assertTrue(code, f"{name} is not in the binary")
                looping = traces.loop_indexes(code)
                self.assertEqual([show(i) for i in code if on_window(i)
                                  and i.mnemonic not in WORD_LOADS | WORD_STORES], [],
                                 "loads or stores narrower or wider than a word")
                self.assertEqual([show(i) for i in code if i.mnemonic in CACHE_ZEROING], [],
                                 "cache-block zeroing")
                self.assertEqual([show(i) for n, i in enumerate(code) if bulk_routine(i)
                                  and (n in looping or bulk_routine(i) not in allowed_outside_loop)],
                                 [], "library fill or copy")
                if loop_access:
                    self.assertTrue([i for n, i in enumerate(code)
                                     if n in looping and i.mnemonic in loop_access],
                                    f"no loop over the table with {sorted(loop_access)}")


if __name__ == "__main__":
    unittest.main()
