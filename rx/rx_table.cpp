// SPDX-License-Identifier: MIT
#include "rx/rx_table.h"

#include <cstdint>

#include "fpga/FPGAMap.h"
#include "fpga/address_map.h"
#include "fpga/nodes.h"

namespace {

constexpr unsigned long channel_mask = 0x00001FFF;
constexpr unsigned long destination_mask = 0x07FFC000;

// Only the head of the table is searched for a node's entries.
constexpr std::size_t entries_examined = 10;

}  // namespace

void read_rx_table(std::vector<unsigned long>& table, unsigned long offset) {
    // Physical addresses are 32 bits wide, also where unsigned long is wider.
    FPGAMap window((fpga_base + offset) & 0xFFFFFFFFUL, rx_table_bytes);
    const volatile std::uint32_t* words = window.Get();
    // The room is made before the first read, so the loop is nothing but one
    // word load per entry: no growth, and no copy routine, next to the window.
    const std::size_t first = table.size();
    table.resize(first + rx_table_entries);
    for (unsigned long i = 0; i < rx_table_entries; ++i) {
        table[first + i] = words[i];
    }
}

void extract_node(const std::vector<unsigned long>& table, node_entry_list& entries, int node) {
    const unsigned long node_bit = link_to_mask[node];
    entries.clear();
    for (std::size_t i = 0; i < entries_examined; ++i) {
        // The destination field must hold the node's bit and nothing else.
        if ((table[i] & destination_mask) == node_bit) {
            entries.emplace_back(rx_table_address + 4 * i, table[i] & channel_mask);
        }
    }
}

int ClearTables() {
    FPGAMap window(rx_table_address, rx_table_bytes);
    volatile std::uint32_t* words = window.Get();
    for (unsigned long i = 0; i < rx_table_entries; ++i) {
        words[i] = 0;
    }
    return 0;
}
