# SPDX-License-Identifier: MIT
# Cross build for the board: 32-bit big-endian PowerPC, Debian's cross toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

set(RTPROBE_PPC_SYSROOT /usr/powerpc-linux-gnu CACHE PATH "Run-time root of the PowerPC libraries")
set(CMAKE_FIND_ROOT_PATH ${RTPROBE_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs target test binaries through user-mode qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;${RTPROBE_PPC_SYSROOT})
