// SPDX-License-Identifier: MIT
#pragma once

#include "app/modes.h"

// Reads the RX table and prints it raw, as a grid of VE channels per node, or
// grouped by node, for MODE_RX_RAW, MODE_RX_PRETTY and MODE_RX_BY_NODE.
void printf_rx_table(e_modes mode);
