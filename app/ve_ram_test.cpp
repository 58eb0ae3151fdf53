// SPDX-License-Identifier: MIT
#include "app/ve_ram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string dump(unsigned int first, unsigned int count, const std::vector<unsigned long>& words) {
    testing::internal::CaptureStdout();
    print_ve_words(first, count, words);
    return testing::internal::GetCapturedStdout();
}

TEST(VeDump, ShowsEachWordInHexAndAsTheFloatItsBitsEncode) {
    const std::vector<unsigned long> words = {0x3F800000, 1,          0xC0490FDB, 0,
                                              0x42280000, 0x7F7FFFFF, 0x80000000, 0xFFFFFFFF};
    EXPECT_EQ(dump(7, 1, words),
              "VE Channel 7 = \n"
              "\t0x3F800000\t: 1.000000\n"
              "\t0x00000001\t: 0.000000\n"
              "\t0xC0490FDB\t: -3.141593\n"
              "\t0x00000000\t: 0.000000\n"
              "\t0x42280000\t: 42.000000\n"
              "\t0x7F7FFFFF\t: 340282346638528859811704183484516925440.000000\n"
              "\t0x80000000\t: -0.000000\n"
              "\t0xFFFFFFFF\t: -nan\n");
}

TEST(VeDump, TakesEightWordsPerChannelInOrder) {
    std::vector<unsigned long> words(16, 0);
    words[8] = 0x40000000;
    const std::string out = dump(0xFFFFFFFF, 2, words);
    // The channel number is a 32-bit sum: the second channel wraps to 0.
    EXPECT_EQ(out.substr(0, 16), "VE Channel -1 = ");
    EXPECT_NE(out.find("VE Channel 0 = \n\t0x40000000\t: 2.000000\n"), std::string::npos);
}

TEST(VeDump, StopsAtTheFirstChannelWithoutItsWords) {
    struct {
        unsigned int count;
        std::size_t supplied;
        const char* tail;
    } const cases[] = {
        {0, 0, ""},
        {1, 0, "VE Channel 3: no data (VE RAM read supplied 0 of 8 words)\n"},
        {2, 12, "VE Channel 4: no data (VE RAM read supplied 12 of 16 words)\n"},
        {0xFFFFFFFF, 0, "VE Channel 3: no data (VE RAM read supplied 0 of 34359738360 words)\n"},
    };
    for (const auto& c : cases) {
        const std::string out = dump(3, c.count, std::vector<unsigned long>(c.supplied, 0));
        const std::string tail(c.tail);
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << c.count;
        EXPECT_EQ(out.size(), (c.supplied / 8) * (16 + 8 * 23) + tail.size()) << c.count;
    }
}

}  // namespace
