// SPDX-License-Identifier: MIT
#pragma once

// The link endpoints of the FPGA's routing, indexed by node id 0..12.
// Ids 0..7 are the eight DSP links, two per DSP, higher link first.
constexpr int node_count = 13;

// Each name ends with one blank, which the reports print. The array itself
// is not const by design: its type is part of the interface.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
extern const char* node_names[node_count];

// The destination-link bit of each node in an RX table entry. Node 12 (L16)
// has bit 14; the bits of nodes 10 and 11 lie outside the destination field.
constexpr unsigned long link_to_mask[node_count] = {
    0x200000, 0x100000,  0x800000,  0x400000,   0x20000,    0x10000, 0x80000,
    0x40000,  0x1000000, 0x4000000, 0x10000000, 0x40000000, 0x4000,
};
