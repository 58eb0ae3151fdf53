// SPDX-License-Identifier: MIT
#include "app/ve_ram.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Two channels from 0x80000000 out of twelve words: the first shown whole,
// the second reported short.
TEST(VeDump, ShowsEightWordsAChannelThenTheShortRead) {
    const std::vector<unsigned long> words = {0x3F800000, 1,          0xC0490FDB, 0x0000ABCD,
                                              0x42280000, 0x80000000, 0x4B000001, 0xC2F6E979,
                                              5,          6,          7,          8};
    std::ifstream file(std::string(SOURCE_DIR) + "/app/ve_dump_expected.txt");
    const std::string expected{std::istreambuf_iterator<char>(file), {}};
    testing::internal::CaptureStdout();
    print_ve_words(0x80000000, 2, words);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

}  // namespace
