// SPDX-License-Identifier: MIT
#pragma once

// The command recorded by main for the options dispatched after the search.
// Values 1 to 3 double as the report modes of printf_rx_table.
enum e_modes {
    MODE_NONE = 0,
    MODE_RX_RAW = 1,
    MODE_RX_PRETTY = 2,
    MODE_RX_BY_NODE = 3,
    MODE_TX = 4,
    MODE_TX_NODE = 5,
    MODE_VE_READ = 6,
    MODE_VE_WRITE = 7,
    MODE_VE_WRITE_KP = 8,
};
