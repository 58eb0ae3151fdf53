# SPDX-License-Identifier: MIT
# An image builder's own toolchain file: the cross compiler by name, flags from
# CXXFLAGS and LDFLAGS, and a Release build that adds nothing but -DNDEBUG.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
