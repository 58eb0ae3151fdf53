// SPDX-License-Identifier: MIT
#include "app/ve_ram.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned long words_per_channel = 8;

float as_float(unsigned long word) {
    const std::uint32_t bits = static_cast<std::uint32_t>(word);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

int DisableVEWrite() {
    return 0;
}
int DisableVERead() {
    return 0;
}
int VENormalOps() {
    return 0;
}

void read_ve(unsigned long, unsigned long, std::vector<unsigned long>&) {}
void write_ve(unsigned long, unsigned long, unsigned long) {}
void write_ve_known_pattern(unsigned long, unsigned long) {}

void print_ve_channels(unsigned int first, unsigned int count) {
    std::vector<unsigned long> words;
    read_ve(first, count, words);
    print_ve_words(first, count, words);
}

void print_ve_words(unsigned int first, unsigned int count,
                    const std::vector<unsigned long>& words) {
    auto cursor = words.cbegin();
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned int channel = first + i;
        if (static_cast<unsigned long>(words.cend() - cursor) < words_per_channel) {
            // A short read ends the dump with one line instead of a channel
            // shown with words that were never read.
            std::printf("VE Channel %u: no data (VE RAM read supplied %lu of %llu words)\n",
                        channel, static_cast<unsigned long>(words.size()),
                        static_cast<unsigned long long>(count) * words_per_channel);
            return;
        }
        std::printf("VE Channel %d = \n", static_cast<int>(channel));
        for (unsigned long w = 0; w < words_per_channel; ++w, ++cursor) {
            std::printf("\t0x%08lX\t: %f\n", *cursor, static_cast<double>(as_float(*cursor)));
        }
    }
}
