// SPDX-License-Identifier: MIT
// Runs only on a simulated board (an image file at /dev/mem); it refuses to
// touch a real /dev/mem device.
#include "fpga/FPGAMap.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace {

// (open descriptors, mappings of /dev/mem) of this process.
std::pair<int, int> held() {
    std::pair<int, int> count{
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), 0};
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        count.second += line.find("dev/mem") != std::string::npos;
    }
    return count;
}

TEST(FPGAMap, ReleasesTheWindowWhenAnExceptionLeavesItsScope) {
    struct stat st {};
    ASSERT_TRUE(stat("/dev/mem", &st) == 0 && S_ISREG(st.st_mode)) << "no board image at /dev/mem";
    const std::pair<int, int> before = held();
    try {
        FPGAMap window(0xF0010000, 0x8000);
        EXPECT_EQ(held(), std::make_pair(before.first + 1, before.second + 1));
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(held(), before);
    // A failed mapping keeps no descriptor either.
    EXPECT_THROW(FPGAMap(0xF0000004, 4), MapFailed);
    EXPECT_EQ(held().first, before.first);
}

}  // namespace
