// SPDX-License-Identifier: MIT
#include "fpga/nodes.h"

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): see nodes.h
const char* node_names[node_count] = {
    "DSP0>L5 ", "DSP0>L4 ", "DSP1>L7 ",   "DSP1>L6 ", "DSP2>L1 ",  "DSP2>L0 ",   "DSP3>L3 ",
    "DSP3>L2 ", "SMAC>L8 ", "HMAC0>L10 ", "I/O>L12 ", "Mezz>L14 ", "HMAC1>L16 ",
};
