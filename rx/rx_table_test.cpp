// SPDX-License-Identifier: MIT
#include "rx/rx_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The reports give every node a fresh list, so only this shows a list
// that keeps what it held before.
TEST(ExtractNode, ReplacesWhatTheListHeld) {
    const std::vector<unsigned long> table(8192);
    node_entry_list entries = {{1, 2}};
    extract_node(table, entries, 0);
    EXPECT_TRUE(entries.empty());
}

}  // namespace
