// SPDX-License-Identifier: MIT
#include "rx/rx_table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

std::vector<std::string> case_lines(const std::string& path);  // in CmdArgParser_test.cpp

namespace {

TEST(ExtractNode, TakesTheEntriesOfOneNodeByTheCaseTable) {
    for (const std::string& line : case_lines("rx/extract_node_cases.txt")) {
        std::istringstream in(line);
        std::string word, channel;
        int node = 0;
        in >> node >> word;
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
