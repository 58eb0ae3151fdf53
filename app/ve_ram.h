// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

// The VE RAM commands. This system gives them no hardware to reach: they
// touch nothing and return at once.
int DisableVEWrite();
int DisableVERead();
int VENormalOps();

// Supplies the eight words of each channel from `first` on, `count` channels;
// this system has no VE RAM to read and supplies none.
void read_ve(unsigned long first, unsigned long count, std::vector<unsigned long>& words);
void write_ve(unsigned long first, unsigned long value, unsigned long count);
void write_ve_known_pattern(unsigned long first, unsigned long count);

// Prints the channels that read_ve supplied, each as its eight words in hex
// and read as single-precision floats. Never reads past the words supplied.
void print_ve_channels(unsigned int first, unsigned int count);

// The dump of `count` channels from `first` out of the words read for them.
void print_ve_words(unsigned int first, unsigned int count,
                    const std::vector<unsigned long>& words);
