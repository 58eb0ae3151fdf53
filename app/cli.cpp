// SPDX-License-Identifier: MIT
#include "app/cli.h"

#include <cstdio>
#include <iostream>

#include "app/ve_ram.h"
#include "mgt/mgt_report.h"
#include "rx/rx_report.h"
#include "rx/rx_table.h"

namespace {

// The numbers an option takes, read in this order after it.
enum class numbers { none, node, channel_and_count, channel_and_value };

struct dispatched_option {
    const char* name;
    e_modes mode;
    numbers reads;
};

struct direct_option {
    const char* name;
    command::action_kind action;
};

// Precedence is by these lists, not by position on the command line: every
// dispatched option comes before every direct one.
constexpr dispatched_option dispatched_options[] = {
    {"-rx_raw", MODE_RX_RAW, numbers::none},
    {"-rx", MODE_RX_PRETTY, numbers::none},
    {"-rx_by_node", MODE_RX_BY_NODE, numbers::none},
    {"-tx", MODE_TX, numbers::none},
    {"-tx_node", MODE_TX_NODE, numbers::node},
    {"-read", MODE_VE_READ, numbers::channel_and_count},
    {"-write", MODE_VE_WRITE, numbers::channel_and_value},
    {"-write_kp", MODE_VE_WRITE_KP, numbers::channel_and_count},
};

constexpr direct_option direct_options[] = {
    {"-no_write", command::no_write},     {"-no_read", command::no_read},
    {"-normal", command::normal},         {"-clear", command::clear},
    {"-mgt_status", command::mgt_status}, {"-mgt_loopback", command::mgt_loopback},
};

const char* const tx_warning =
    "\n WARNING: TX tables are in the Audio fpga on the QX730 board!!!\n";

const char* const usage_lines[] = {
    "rtprobe [-rx_raw / -rx / -rx_by_node / -tx / -tx_node n]",
    "\t-rx_raw \t: Print raw (hex) content of Rx Table",
    "\t-rx  \t\t: Print 'prettified' rx table ",
    "\t-rx_by_node : Print rx table re-grouped by destination node",
    "\t-read n\t<m>\t: Print contents of VE RAM Channel n <to n+m>",
    "\t-mgt_status : Print Tx, Rx and clock status of the DSP MGT links",
    "\t-write n val <m>: Write val to VE RAM channel n (to n+m) brick",
    "\t-no_write   : Disable nodes writing into VE",
    "\t-no_read \t: Disable nodes reading from VE",
    "\t-normal \t: Allow nodes to read & write from / to VE",
    "\t-write_kp ch <n=1>: Write known pattern data to VE RAM channel ch to ch+n ",
    "\t-clear\t\t: clear all tx & rx routing tables ",
};

// Reads the numbers of `option` into `cmd`; false when a required one fails.
bool read_numbers(zor::util::CmdArgParser& parser, numbers reads, command& cmd) {
    switch (reads) {
        case numbers::none:
            return true;
        case numbers::node:
            return parser.next(cmd.node);
        case numbers::channel_and_value:
            return parser.next(cmd.channel) && parser.next(cmd.value);
        case numbers::channel_and_count:
            if (!parser.next(cmd.channel)) {
                return false;
            }
            if (!parser.next(cmd.count)) {
                cmd.count = 1;
            }
            return true;
    }
    return false;
}

void dispatch(const command& cmd) {
    switch (cmd.mode) {
        case MODE_RX_RAW:
        case MODE_RX_PRETTY:
        case MODE_RX_BY_NODE:
            printf_rx_table(cmd.mode);
            break;
        case MODE_TX:
        case MODE_TX_NODE:
            std::puts(tx_warning);
            break;
        case MODE_VE_READ:
            print_ve_channels(cmd.channel, cmd.count);
            break;
        case MODE_VE_WRITE:
            write_ve(cmd.channel, cmd.value, cmd.count);
            break;
        case MODE_VE_WRITE_KP:
            write_ve_known_pattern(cmd.channel, cmd.count);
            break;
        case MODE_NONE:
            break;
    }
}

}  // namespace

command decide_command(zor::util::CmdArgParser& parser) {
    command cmd;
    for (const dispatched_option& option : dispatched_options) {
        if (parser.find(option.name)) {
            cmd.mode = option.mode;
            cmd.action =
                read_numbers(parser, option.reads, cmd) ? command::dispatch : command::show_usage;
            return cmd;
        }
    }
    for (const direct_option& option : direct_options) {
        if (parser.find(option.name)) {
            cmd.action = option.action;
            return cmd;
        }
    }
    return cmd;
}

int run_command(const command& cmd) {
    switch (cmd.action) {
        case command::show_usage:
            return usage();
        case command::dispatch:
            dispatch(cmd);
            return 0;
        case command::no_write:
            return DisableVEWrite();
        case command::no_read:
            return DisableVERead();
        case command::normal:
            return VENormalOps();
        case command::clear:
            return ClearTables();
        case command::mgt_status:
            return mgt_link_status();
        case command::mgt_loopback:
            return loopback_status();
    }
    return usage();
}

int usage() {
    for (const char* line : usage_lines) {
        std::cout << line << std::endl;
    }
    return -1;
}
