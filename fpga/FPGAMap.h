// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>

// The board's registers sit at 0xF0000000 and above; on the 32-bit board
// they reach mmap only through a 64-bit file offset.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// Raised once "ERROR : Failed to mmap" is on standard output: the operation
// that asked for the window is abandoned and the run ends with a failure.
class MapFailed : public std::exception {
  public:
    const char* what() const noexcept override { return "Failed to mmap"; }
};

// A scoped window onto physical memory through /dev/mem. Word k of Get() is
// the 32-bit register at address + 4k. Accesses are not checked against the
// length: the mapping covers whole pages, and callers rely on that.
class FPGAMap {
  public:
    FPGAMap(unsigned long address, unsigned long length) : address_(address), length_(length) {
        fd_ = open_device();
        // A failed open leaves -1 here on purpose: mmap then fails with EBADF and
        // the one error line below covers a missing device too.
        // cppcheck-suppress invalidFunctionArg
        void* base = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                          static_cast<off_t>(address_));
        if (base == MAP_FAILED) {
            if (fd_ >= 0) {
                close(fd_);
            }
            std::puts("ERROR : Failed to mmap");
            std::fflush(stdout);
            throw MapFailed();
        }
        base_ = static_cast<volatile std::uint32_t*>(base);
    }

    virtual ~FPGAMap() {
        munmap(const_cast<std::uint32_t*>(base_), length_);
        close(fd_);
    }

    FPGAMap(const FPGAMap&) = delete;
    FPGAMap& operator=(const FPGAMap&) = delete;

    volatile std::uint32_t* Get() const { return base_; }

  private:
    static int open_device() {
        int fd = open("/dev/mem", O_RDWR | O_SYNC);
        // With a standard stream closed, open would hand out descriptor 0, 1
        // or 2, and text meant for that stream would land in physical memory.
        if (fd >= 0 && fd <= STDERR_FILENO) {
            const int high = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
            close(fd);
            fd = high;
        }
        return fd;
    }

    unsigned long address_;
    unsigned long length_;
    volatile std::uint32_t* base_ = nullptr;
    int fd_ = -1;
};
