// SPDX-License-Identifier: MIT
#include "mgt/mgt_report.h"

#include <cstdint>
#include <cstdio>

#include "fpga/FPGAMap.h"
#include "fpga/address_map.h"
#include "fpga/nodes.h"
#include "util/rule.h"

namespace {

constexpr int dsp_link_count = 8;
using link_masks = std::uint32_t[dsp_link_count];

// One bit per DSP link, indexed by node id. Bit n of the Tx and Rx words is
// the run flag of link Ln and bit 16 + n its data flag; the clock word has
// the lock flag of Ln at bit 8 + n and one run bit per DSP, shared by its
// two links.
constexpr link_masks mgt_link_tx_running_mask = {0x20, 0x10, 0x80, 0x40, 0x2, 0x1, 0x8, 0x4};
constexpr link_masks mgt_link_data_tx_mask = {0x200000, 0x100000, 0x800000, 0x400000,
                                              0x20000,  0x10000,  0x80000,  0x40000};
constexpr link_masks mgt_link_rx_running_mask = {0x20, 0x10, 0x80, 0x40, 0x2, 0x1, 0x8, 0x4};
constexpr link_masks mgt_link_data_rx_mask = {0x200000, 0x100000, 0x800000, 0x400000,
                                              0x20000,  0x10000,  0x80000,  0x40000};
constexpr link_masks mgt_link_clock_lock_mask = {0x2000, 0x1000, 0x8000, 0x4000,
                                                 0x200,  0x100,  0x800,  0x400};
constexpr link_masks mgt_link_clock_run_mask = {0x10, 0x10, 0x40, 0x40, 0x1, 0x1, 0x4, 0x4};
constexpr link_masks mgt_far_loopback = {0x20, 0x10, 0x80, 0x40, 0x2, 0x1, 0x8, 0x4};
constexpr link_masks mgt_near_loopback = {0x20, 0x10, 0x80, 0x40, 0x2, 0x1, 0x8, 0x4};

constexpr int title_padding = 38;

struct flag_row {
    const char* label;
    const link_masks& masks;
    std::uint32_t word;
};

void print_flag_row(const flag_row& row) {
    std::printf("%s", row.label);
    for (int node = 0; node < dsp_link_count; ++node) {
        std::printf("%d\t\t", (row.word & row.masks[node]) != 0 ? 1 : 0);
    }
    std::putchar('\n');
}

void print_section(const char* title, const flag_row& first, const flag_row& second) {
    print_rule(separator_width);
    std::printf("%s%*s\n", title, title_padding, "");
    print_rule(separator_width);
    std::putchar('\t');
    for (int node = 0; node < dsp_link_count; ++node) {
        std::printf("%s\t", node_names[node]);
    }
    std::printf("\n\n");
    print_flag_row(first);
    print_flag_row(second);
    std::putchar('\n');
}

}  // namespace

int mgt_link_status() {
    FPGAMap window(fpga_base, register_window_length);
    const volatile std::uint32_t* regs = window.Get();
    // Each register is read once, before any output, so every flag of a
    // section comes from the same read.
    const std::uint32_t tx = regs[word_index(tx_status_offset)];
    const std::uint32_t rx = regs[word_index(rx_status_offset)];
    const std::uint32_t clock = regs[word_index(clock_status_offset)];

    print_section(" MGT Link Tx Status (1 - true, 0 - false)",
                  {"Run:\t", mgt_link_tx_running_mask, tx}, {"Data:\t", mgt_link_data_tx_mask, tx});
    print_section(" MGT Link Rx Status (1 - true, 0 - false)",
                  {"Run:\t", mgt_link_rx_running_mask, rx}, {"Data:\t", mgt_link_data_rx_mask, rx});
    print_section(" MGT Link Clock Status (1 - true, 0 - false)",
                  {"Lock:\t", mgt_link_clock_lock_mask, clock},
                  {"Run:\t", mgt_link_clock_run_mask, clock});
    return 0;
}

int loopback_status() {
    FPGAMap window(fpga_base, register_window_length);
    const volatile std::uint32_t* regs = window.Get();
    const std::uint32_t far = regs[word_index(far_loopback_offset)];
    const std::uint32_t near = regs[word_index(near_loopback_offset)];

    std::printf("\n\n");
    print_section(" MGT Link Loopback Status (1 - loopback on, 0 - normal operation)",
                  {"Far:\t", mgt_far_loopback, far}, {"Near:\t", mgt_near_loopback, near});
    return 0;
}
