// SPDX-License-Identifier: MIT
#pragma once

#include "app/modes.h"
#include "util/CmdArgParser.h"

// What one command line asks for, as decided by the option precedence list.
struct command {
    enum action_kind {
        show_usage,  // no known option, or a required number missing
        dispatch,    // `mode` with its numbers
        no_write,
        no_read,
        normal,
        clear,
        mgt_status,
        mgt_loopback,
    };
    action_kind action = show_usage;
    e_modes mode = MODE_NONE;
    unsigned int channel = 0;
    unsigned int value = 0;
    unsigned int count = 1;
    unsigned int node = 0;
};

// Applies the precedence list and the number rules; runs nothing.
command decide_command(zor::util::CmdArgParser& parser);

// Runs what `cmd` asks for and returns the exit status of main.
int run_command(const command& cmd);

// Prints the usage text; returns -1.
int usage();
