// SPDX-License-Identifier: MIT
#pragma once

#include <utility>
#include <vector>

// (physical address of an RX entry, its VE channel), by increasing address.
using node_entry_list = std::vector<std::pair<unsigned long, unsigned long>>;

// Appends the 8192 entries of the table at fpga_base + offset to `table`.
void read_rx_table(std::vector<unsigned long>& table, unsigned long offset);

// Replaces `entries` with the entries of `node` among the first ten of
// `table`. The caller guarantees node 0..12 and at least ten entries.
void extract_node(const std::vector<unsigned long>& table, node_entry_list& entries, int node);

// Writes 0 to every entry of the RX table; returns 0.
int ClearTables();
