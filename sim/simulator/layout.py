# SPDX-License-Identifier: MIT
"""The board's address map and bit layout: where the registers and the RX
table lie in physical memory, the nodes' destination bits, the status flags."""

IMAGE_SIZE = 0xF0018000
FPGA_BASE = 0xF0000000
REGISTER_PAGE = 0x1000
RX_TABLE = 0xF0010000
RX_ENTRIES = 8192

REGISTERS = {
    "far_loopback": 0x34,
    "near_loopback": 0x38,
    "clock_status": 0x220,
    "tx_status": 0x240,
    "rx_status": 0x244,
}

# Destination-link bit of each node in an RX entry, by node id.
NODES = [
    ("DSP0>L5", 0x200000), ("DSP0>L4", 0x100000), ("DSP1>L7", 0x800000),
    ("DSP1>L6", 0x400000), ("DSP2>L1", 0x20000), ("DSP2>L0", 0x10000),
    ("DSP3>L3", 0x80000), ("DSP3>L2", 0x40000), ("SMAC>L8", 0x1000000),
    ("HMAC0>L10", 0x4000000), ("I/O>L12", 0x10000000), ("Mezz>L14", 0x40000000),
    ("HMAC1>L16", 0x4000),
]
DSP_LINKS = [name for name, _ in NODES[:8]]

# Each status flag: its register and its bit for link Ln. The two links of a
# DSP share one clock run bit.
FLAGS = {
    "tx_run": ("tx_status", lambda n: 1 << n),
    "tx_data": ("tx_status", lambda n: 1 << (16 + n)),
    "rx_run": ("rx_status", lambda n: 1 << n),
    "rx_data": ("rx_status", lambda n: 1 << (16 + n)),
    "clock_lock": ("clock_status", lambda n: 1 << (8 + n)),
    "clock_run": ("clock_status", lambda n: 1 << (n & ~1)),
    "far": ("far_loopback", lambda n: 1 << n),
    "near": ("near_loopback", lambda n: 1 << n),
}


def flag_bit(flag, link):
    """The bit of a status flag for one of the eight DSP links (0 to 7)."""
    return FLAGS[flag][1](int(DSP_LINKS[link].split(">L")[1]))
