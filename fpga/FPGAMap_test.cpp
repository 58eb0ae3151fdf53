// SPDX-License-Identifier: MIT
// Runs only on a simulated board (an image file at /dev/mem); it refuses to
// touch a real /dev/mem device.
#include "fpga/FPGAMap.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>

namespace {

long open_descriptors() {
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(fds, {});
}

// The release of a mapped window shows in every run's system calls; a
// failed mapping's descriptor only here.
TEST(FPGAMap, FailedMappingKeepsNoDescriptor) {
    // Looked at through an O_PATH descriptor, which opens no device: under
    // proot, qemu-ppc's stat of the path fails where fstat does not.
    const int fd = open("/dev/mem", O_PATH | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat mem {};
    const int looked = fstat(fd, &mem);
    close(fd);
    ASSERT_EQ(looked, 0);
    ASSERT_TRUE(S_ISREG(mem.st_mode)) << "not a board image";
    const long before = open_descriptors();
    // An offset off a page boundary cannot be mapped.
    EXPECT_THROW(FPGAMap(0xF0000004, 4), MapFailed);
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
