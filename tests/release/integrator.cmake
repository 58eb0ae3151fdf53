# SPDX-License-Identifier: MIT
# What both image builders' toolchain files set: the cross compiler, and a
# Release that adds nothing but -DNDEBUG. The rest of each builder's file
# (build type, search roots and modes) is in its row of recipes.tsv.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
