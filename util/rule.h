// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>

// The hyphen rules that frame the reports.
constexpr int separator_width = 138;
constexpr int short_separator_width = 54;

inline void print_rule(int width) {
    for (int i = 0; i < width; ++i) {
        std::putchar('-');
    }
    std::putchar('\n');
}
