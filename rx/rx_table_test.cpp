// SPDX-License-Identifier: MIT
#include "rx/rx_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct extract_case {
    const char* what;
    std::vector<unsigned long> head;  // table entries from index 0
    int node;
    node_entry_list expected;
};

// The physical address of table entry i.
constexpr unsigned long at(unsigned long i) {
    return 0xF0010000UL + 4 * i;
}

TEST(ExtractNode, PicksEntriesWhoseDestinationFieldIsExactlyTheNodeBit) {
    const extract_case cases[] = {
        {"entry 3 to DSP0>L5", {0, 0, 0, 0x00201ABC}, 0, {{at(3), 6844}}},
        {"bit 13 and bits 27-31 are noise", {0x80202005}, 0, {{at(0), 5}}},
        {"two destination bits match neither node", {0x00300000}, 0, {}},
        {"two destination bits, second node", {0x00300000}, 1, {}},
        {"HMAC1>L16 is bit 14", {0, 0x00005FFF}, 12, {{at(1), 8191}}},
        {"SMAC>L8 is bit 24", {0x01000000}, 8, {{at(0), 0}}},
        {"I/O bit 28 lies outside the field", {0x10000001}, 10, {}},
        {"Mezz bit 30 lies outside the field", {0x40000001}, 11, {}},
        {"empty destination belongs to nobody", {0x00000007}, 0, {}},
        {"same channel twice, by address",
         {0x00800009, 0, 0x00800009, 0x00800001},
         2,
         {{at(0), 9}, {at(2), 9}, {at(3), 1}}},
        {"index 9 is the last one examined",
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00020011, 0x00020012, 0x00020013},
         4,
         {{at(9), 0x11}}},
    };
    for (const extract_case& c : cases) {
        std::vector<unsigned long> table(8192, 0);
        std::copy(c.head.begin(), c.head.end(), table.begin());
        node_entry_list entries;
        extract_node(table, entries, c.node);
        EXPECT_EQ(entries, c.expected) << c.what;
    }
}

TEST(ExtractNode, ReplacesWhatTheListHeld) {
    std::vector<unsigned long> table(10, 0);
    table[5] = 0x00010003;
    node_entry_list entries{{1, 2}, {3, 4}};
    extract_node(table, entries, 5);
    EXPECT_EQ(entries, (node_entry_list{{at(5), 3}}));
    extract_node(table, entries, 5);
    EXPECT_EQ(entries.size(), 1u);
}

}  // namespace
