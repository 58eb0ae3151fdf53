// SPDX-License-Identifier: MIT
#pragma once

// Where the tool finds the FPGA in the board's physical address space.

constexpr unsigned long fpga_base = 0xF0000000;

// A window of one word still maps the whole first page, which holds every
// status register below.
constexpr unsigned long register_window_length = 4;

constexpr unsigned long far_loopback_offset = 0x34;
constexpr unsigned long near_loopback_offset = 0x38;
constexpr unsigned long clock_status_offset = 0x220;
constexpr unsigned long tx_status_offset = 0x240;
constexpr unsigned long rx_status_offset = 0x244;

constexpr unsigned long rx_table_offset = 0x10000;
constexpr unsigned long rx_table_address = fpga_base + rx_table_offset;
constexpr unsigned long rx_table_entries = 8192;
constexpr unsigned long rx_table_bytes = rx_table_entries * 4;

constexpr unsigned long word_index(unsigned long byte_offset) {
    return byte_offset / 4;
}
