// SPDX-License-Identifier: MIT
// Runs each file named on the command line once through the fuzz target, so
// that builds without libFuzzer (g++, PowerPC) replay the corpus too.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::string input{std::istreambuf_iterator<char>(file), {}};
        if (!file) {
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    // An empty corpus would check nothing.
    return argc > 1 ? 0 : 1;
}
