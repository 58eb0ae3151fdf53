#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of cli_fuzz: one file a command line, its arguments
each ended by a NUL byte (the last one needs none), as cli_fuzz reads them.

    python3 tests/fuzz/make_corpus.py          # rewrites tests/fuzz/corpus/
"""

import os
import shutil

SEEDS = {
    "no-arguments": [],
    "every-option-lowest-first": ["-mgt_loopback", "-mgt_status", "-clear", "-normal",
                                  "-no_read", "-no_write", "-write_kp", "3", "4",
                                  "-write", "5", "6", "-read", "7", "8", "-tx_node", "9",
                                  "-tx", "-rx_by_node", "-rx", "-rx_raw"],
    "clear-loses-to-rx": ["-clear", "-rx"],
    "no-write-beats-normal": ["-normal", "-no_write"],
    "write-beats-write-kp": ["-write_kp", "3", "-write", "1", "2"],
    "read-hex-and-count": ["-read", "0x10", "2"],
    "read-count-is-an-option": ["-read", "4", "-2"],
    "read-twice": ["-read", "1", "-read", "2"],
    "decimal-limit": ["-write", "2147483647", "2147483648"],
    "hex-limit-trailing-junk": ["-write_kp", "0XFFFFFFFF", "0x1Fzz"],
    "tx-node-without-node": ["-tx_node"],
    "plus-blank-empty-0x": ["-read", "+7", " 12", "", "0x"],
    "unknown-and-prefixes": ["foo", "-rx_ra", "-RX", "-mgt_loopback"],
    "non-utf8": ["-tx_node", "\udcff\udcfe", "-read", "12abc", "\udce9"],
}


def main():
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    shutil.rmtree(corpus, ignore_errors=True)
    os.makedirs(corpus)
    for name, args in SEEDS.items():
        data = b"\0".join(arg.encode("utf-8", "surrogateescape") for arg in args)
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
