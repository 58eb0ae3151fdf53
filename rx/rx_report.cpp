// SPDX-License-Identifier: MIT
#include "rx/rx_report.h"

#include <cstdio>
#include <vector>

#include "fpga/address_map.h"
#include "fpga/nodes.h"
#include "rx/rx_table.h"
#include "util/rule.h"

namespace {

// The first link of each DSP, then the other endpoints.
std::vector<int> report_nodes() {
    return {0, 2, 4, 6, 8, 9, 10, 11, 12};
}

// Writes the eight upper-case hexadecimal digits of a 32-bit word.
char* put_hex8(char* out, unsigned long word) {
    static const char digits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) {
        *out++ = digits[(word >> shift) & 0xF];
    }
    return out;
}

// Each line is "0x%08lX\t\t0x%08lX\n", written by hand: printf parsing that
// format 8192 times cost most of the report. The lines go out in chunks of
// about 4 KiB; puts gives each chunk the newline of its last line.
void print_raw(const std::vector<unsigned long>& table) {
    print_rule(short_separator_width);
    std::puts("Address \t\tValue");
    constexpr std::size_t line_length = sizeof "0xF0010000\t\t0x00000000\n" - 1;
    char chunk[4096];
    std::size_t used = 0;
    for (unsigned long i = 0; i < rx_table_entries; ++i) {
        if (used + line_length > sizeof chunk) {
            chunk[used - 1] = '\0';
            std::puts(chunk);
            used = 0;
        }
        char* out = chunk + used;
        *out++ = '0';
        *out++ = 'x';
        out = put_hex8(out, rx_table_address + 4 * i);
        *out++ = '\t';
        *out++ = '\t';
        *out++ = '0';
        *out++ = 'x';
        out = put_hex8(out, table[i]);
        *out++ = '\n';
        used = static_cast<std::size_t>(out - chunk);
    }
    chunk[used - 1] = '\0';
    std::puts(chunk);
}

void print_grid(const std::vector<unsigned long>& table, const std::vector<int>& nodes) {
    print_rule(separator_width);
    std::puts(" RX Table - VE channel \t\t\t\t\t\t\t\t\t\t");
    print_rule(separator_width);

    std::vector<node_entry_list> entries(node_count);
    std::size_t rows = 0;
    for (int node : nodes) {
        extract_node(table, entries[node], node);
        std::printf("%s\t", node_names[node]);
        if (entries[node].size() > rows) {
            rows = entries[node].size();
        }
    }
    std::putchar('\n');
    print_rule(separator_width);

    for (std::size_t row = 0; row < rows; ++row) {
        for (int node : nodes) {
            if (entries[node].size() > row) {
                std::printf("%04lu\t\t", entries[node][row].second);
            } else {
                std::printf("0000\t\t");
            }
        }
        std::putchar('\n');
    }
}

void print_by_node(const std::vector<unsigned long>& table, const std::vector<int>& nodes) {
    for (int node : nodes) {
        node_entry_list entries;
        extract_node(table, entries, node);
        print_rule(short_separator_width);
        std::printf("Node : %s\n", node_names[node]);
        print_rule(short_separator_width);
        std::puts("Address \t\tChannel ");
        for (const auto& entry : entries) {
            std::printf("0x%08lX\t\t%lu\n", entry.first, entry.second);
        }
    }
}

}  // namespace

void printf_rx_table(e_modes mode) {
    const std::vector<int> nodes = report_nodes();
    std::vector<unsigned long> table;
    // The table is read whatever the mode, so every report maps it first.
    read_rx_table(table, rx_table_offset);

    switch (mode) {
        case MODE_RX_RAW:
            print_raw(table);
            break;
        case MODE_RX_PRETTY:
            print_grid(table, nodes);
            break;
        case MODE_RX_BY_NODE:
            print_by_node(table, nodes);
            break;
        default:
            break;
    }
}
