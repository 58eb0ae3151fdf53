// SPDX-License-Identifier: MIT
// Runs only on a simulated board (the bench puts an image file at /dev/mem);
// it refuses to touch a real /dev/mem device.
#include "fpga/FPGAMap.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

constexpr unsigned long register_page = 0xF0000000;

class FPGAMapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        struct stat st {};
        ASSERT_EQ(stat("/dev/mem", &st), 0) << "no simulated /dev/mem";
        ASSERT_TRUE(S_ISREG(st.st_mode)) << "/dev/mem is not a board image: refusing to map it";
    }
};

int open_descriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

int mappings_of_dev_mem() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.find("dev/mem") != std::string::npos;
    }
    return count;
}

std::uint32_t read_device_word(unsigned long address) {
    std::uint32_t word = 0;
    const int fd = open("/dev/mem", O_RDONLY);
    EXPECT_EQ(pread(fd, &word, sizeof word, static_cast<off_t>(address)), 4);
    close(fd);
    return word;
}

TEST_F(FPGAMapTest, OneWordWindowReachesTheWholeRegisterPage) {
    {
        FPGAMap window(register_page, 4);
        EXPECT_EQ(window.Get(), window.Get());
        for (unsigned long offset : {0x34UL, 0x38UL, 0x220UL, 0x240UL, 0x244UL}) {
            window.Get()[offset / 4] = static_cast<std::uint32_t>(0xA5000000 | offset);
        }
    }
    for (unsigned long offset : {0x34UL, 0x38UL, 0x220UL, 0x240UL, 0x244UL}) {
        EXPECT_EQ(read_device_word(register_page + offset), 0xA5000000 | offset) << offset;
    }
}

TEST_F(FPGAMapTest, ReleasesMappingAndDescriptorWhenAnExceptionLeavesTheScope) {
    const int descriptors = open_descriptors();
    const int mappings = mappings_of_dev_mem();
    try {
        FPGAMap window(0xF0010000, 0x8000);
        ASSERT_EQ(mappings_of_dev_mem(), mappings + 1);
        ASSERT_EQ(open_descriptors(), descriptors + 1);
        throw std::runtime_error("leave the scope");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(mappings_of_dev_mem(), mappings);
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(FPGAMapTest, FailedMappingSaysSoAndKeepsNoDescriptor) {
    const int descriptors = open_descriptors();
    testing::internal::CaptureStdout();
    EXPECT_THROW(FPGAMap(register_page + 4, 4), MapFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR : Failed to mmap\n");
    EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
