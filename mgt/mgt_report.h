// SPDX-License-Identifier: MIT
#pragma once

// Tx, Rx and clock status flags of the eight DSP links; returns 0.
int mgt_link_status();

// Far and near loopback state of the eight DSP links; returns 0.
int loopback_status();
