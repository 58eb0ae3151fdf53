// SPDX-License-Identifier: MIT
// Runs only on a simulated board (an image file at /dev/mem); it refuses to
// touch a real /dev/mem device.
#include "fpga/FPGAMap.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace {

long open_descriptors() {
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(fds, {});
}

// /dev/mem, looked at through an O_PATH descriptor, which opens no device:
// under proot, qemu-ppc's stat of the path fails where fstat does not.
bool mem_file(struct stat& mem) {
    const int fd = open("/dev/mem", O_PATH | O_CLOEXEC);
    const bool looked = fd >= 0 && fstat(fd, &mem) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return looked;
}

// The release of a mapped window shows in every run's system calls; a
// failed mapping's descriptor only here.
TEST(FPGAMap, FailedMappingKeepsNoDescriptor) {
    struct stat mem {};
    ASSERT_TRUE(mem_file(mem));
    ASSERT_TRUE(S_ISREG(mem.st_mode)) << "not a board image";
    const long before = open_descriptors();
    // An offset off a page boundary cannot be mapped.
    EXPECT_THROW(FPGAMap(0xF0000004, 4), MapFailed);
    EXPECT_EQ(open_descriptors(), before);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptors that are the board's memory while a window is open, with
// the streams in closed closed first, then reopened on /dev/null as a shell
// redirection would. Nothing may be printed until the streams are back.
std::vector<int> mem_descriptors_with_closed(const std::vector<int>& closed) {
    struct stat mem {};
    mem_file(mem);
    std::array<int, 3> saved{};
    for (int fd : closed) {
        saved[fd] = fcntl(fd, F_DUPFD, 3);
        close(fd);
    }
    std::vector<int> found;
    {
        FPGAMap window(0xF0000000, 4);
        std::vector<int> reopened;
        for (std::size_t i = 0; i < closed.size(); ++i) {
            reopened.push_back(open("/dev/null", O_RDWR));
        }
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            struct stat now {};
            if (fstat(fd, &now) == 0 && same_file(now, mem)) {
                found.push_back(fd);
            }
        }
        for (int fd : reopened) {
            close(fd);
        }
    }
    for (int fd : closed) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }
    return found;
}

// Run with standard streams closed, rtprobe would get descriptor 0, 1 or 2
// for /dev/mem, and a report printed on that stream would be written into
// physical memory. No report is printed while a window is open today, so
// only a window opened here shows that the guard holds.
TEST(FPGAMap, WindowNeverTakesAStandardStreamsDescriptor) {
    struct stat mem {};
    ASSERT_TRUE(mem_file(mem));
    ASSERT_TRUE(S_ISREG(mem.st_mode)) << "not a board image";
    for (const std::vector<int>& closed : {std::vector<int>{0, 1, 2}, std::vector<int>{2}}) {
        const std::vector<int> found = mem_descriptors_with_closed(closed);
        ASSERT_EQ(found.size(), 1U) << "closed: " << closed.size();
        EXPECT_GT(found[0], 2) << "closed: " << closed.size();
    }
}

}  // namespace
