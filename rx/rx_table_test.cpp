// SPDX-License-Identifier: MIT
#include "rx/rx_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(ExtractNode, TakesTheEntriesOfOneNodeByTheCaseTable) {
    std::ifstream file(std::string(SOURCE_DIR) + "/rx/extract_node_cases.txt");
    ASSERT_TRUE(file.is_open());
    for (std::string line, word, channel; std::getline(file, line);) {
        std::istringstream in(line);
        int node = 0;
        if (!(in >> node >> word)) {
            continue;  // a comment
        }
        std::vector<unsigned long> table(8192, 0);
        for (std::size_t i = 0; in >> word && word != "|"; ++i) {
            table.at(i) = std::stoul(word, nullptr, 0);
        }
        node_entry_list expected, entries{{1, 2}};
        while (in >> word >> channel) {
            expected.emplace_back(std::stoul(word, nullptr, 0), std::stoul(channel));
        }
        extract_node(table, entries, node);
        EXPECT_EQ(entries, expected) << line;
    }
}

}  // namespace
