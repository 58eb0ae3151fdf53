// SPDX-License-Identifier: MIT
// Fuzz target over the command line: the argument parser and the option
// decision, never the commands themselves (nothing here maps a device).
//
// The input is the argument list after the program name, each argument ended
// by a NUL byte as in a process's argv block; the last one needs no NUL. So
// any count of arguments, empty ones and any bytes but NUL can be expressed,
// and the empty input is a command line with no arguments.
//
// Each decision of decide_command is compared with a small model of the
// command-line rules kept in this file, apart from the product's own tables:
// the precedence of the fourteen options, the numbers each one reads, and
// how a text reads as a number. The other next overloads are then driven
// over the same arguments and checked against the same number rules.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "util/CmdArgParser.h"

namespace {

using args_list = std::vector<std::string>;

[[noreturn]] void fail(const args_list& args, const char* what) {
    std::fprintf(stderr, "cli_fuzz: %s\narguments (%zu):", what, args.size());
    for (const std::string& arg : args) {
        std::fputs(" \"", stderr);
        for (const char c : arg) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
                std::fputc(c, stderr);
            } else {
                std::fprintf(stderr, "\\x%02X", byte);
            }
        }
        std::fputc('"', stderr);
    }
    std::fputc('\n', stderr);
    std::abort();
}

void require(bool holds, const args_list& args, const char* what) {
    if (!holds) {
        fail(args, what);
    }
}

// ---- The model -------------------------------------------------------------

// A text as a number: "0x"/"0X" and more characters read as "%x" does;
// anything else as an optional '+' and decimal digits up to the first other
// character, at most 2147483647, with no white space skipped.
bool hex_form(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

std::optional<std::uint32_t> model_number(const std::string& text) {
    if (hex_form(text)) {
        unsigned int bits = 0;
        if (std::sscanf(text.c_str(), "%x", &bits) != 1) {
            return std::nullopt;
        }
        return bits;
    }
    std::size_t at = 0;
    if (at < text.size() && text[at] == '+') {
        ++at;
    }
    const std::size_t first_digit = at;
    std::uint64_t number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        number = number * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (number > 2147483647U) {
            return std::nullopt;
        }
    }
    if (at == first_digit) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(number);
}

// The cursor: placed after the first argument equal to an option; a value is
// taken only when there is one and it does not begin with '-'.
class model_cursor {
  public:
    explicit model_cursor(const args_list& args) : args_(args), at_(args.size()) {}

    bool find(const std::string& option) {
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] == option) {
                at_ = i + 1;
                return true;
            }
        }
        return false;
    }

    std::optional<std::string> take() {
        if (at_ >= args_.size() || (!args_[at_].empty() && args_[at_][0] == '-')) {
            return std::nullopt;
        }
        return args_[at_++];
    }

    std::optional<std::uint32_t> take_number() {
        const std::optional<std::string> text = take();
        return text ? model_number(*text) : std::nullopt;
    }

  private:
    const args_list& args_;
    std::size_t at_;
};

enum class reads { nothing, node, channel_then_count, channel_then_value };

struct model_option {
    const char* name;
    command::action_kind action;
    e_modes mode;
    reads numbers;
};

// Highest precedence first.
const model_option model_options[] = {
    {"-rx_raw", command::dispatch, MODE_RX_RAW, reads::nothing},
    {"-rx", command::dispatch, MODE_RX_PRETTY, reads::nothing},
    {"-rx_by_node", command::dispatch, MODE_RX_BY_NODE, reads::nothing},
    {"-tx", command::dispatch, MODE_TX, reads::nothing},
    {"-tx_node", command::dispatch, MODE_TX_NODE, reads::node},
    {"-read", command::dispatch, MODE_VE_READ, reads::channel_then_count},
    {"-write", command::dispatch, MODE_VE_WRITE, reads::channel_then_value},
    {"-write_kp", command::dispatch, MODE_VE_WRITE_KP, reads::channel_then_count},
    {"-no_write", command::no_write, MODE_NONE, reads::nothing},
    {"-no_read", command::no_read, MODE_NONE, reads::nothing},
    {"-normal", command::normal, MODE_NONE, reads::nothing},
    {"-clear", command::clear, MODE_NONE, reads::nothing},
    {"-mgt_status", command::mgt_status, MODE_NONE, reads::nothing},
    {"-mgt_loopback", command::mgt_loopback, MODE_NONE, reads::nothing},
};

// The decision, with only the numbers that the chosen option carries, and
// the option found first in the order (also when its numbers fail).
struct model_decision {
    const char* option = nullptr;
    command::action_kind action = command::show_usage;
    e_modes mode = MODE_NONE;
    std::optional<std::uint32_t> node;
    std::optional<std::uint32_t> channel;
    std::optional<std::uint32_t> value;
    std::optional<std::uint32_t> count;
};

model_decision model_decide(const args_list& args) {
    model_cursor cursor(args);
    for (const model_option& option : model_options) {
        if (!cursor.find(option.name)) {
            continue;
        }
        model_decision d;
        d.option = option.name;
        d.action = option.action;
        d.mode = option.mode;
        bool complete = true;  // every required number read
        switch (option.numbers) {
            case reads::nothing:
                break;
            case reads::node:
                d.node = cursor.take_number();
                complete = d.node.has_value();
                break;
            case reads::channel_then_count:
                d.channel = cursor.take_number();
                complete = d.channel.has_value();
                d.count = complete ? cursor.take_number().value_or(1) : 1;
                break;
            case reads::channel_then_value:
                d.channel = cursor.take_number();
                d.value = d.channel ? cursor.take_number() : std::nullopt;
                complete = d.channel && d.value;
                d.count = 1;
                break;
        }
        if (!complete) {
            d = model_decision{};
            d.option = option.name;
        }
        return d;
    }
    return {};
}

// ---- The checks -------------------------------------------------------------

void check_decision(const command& got, const model_decision& want, const args_list& args) {
    require(got.action == want.action, args, "decide_command chose another action");
    if (want.action != command::dispatch) {
        return;
    }
    require(got.mode == want.mode, args, "decide_command recorded another mode");
    require(!want.node || got.node == *want.node, args, "node differs");
    require(!want.channel || got.channel == *want.channel, args, "channel differs");
    require(!want.value || got.value == *want.value, args, "value differs");
    require(!want.count || got.count == *want.count, args, "count differs");
}

// One next overload for an integer type: its result must be what the model
// reads from the same text, cut to the type's width; a refused value and a
// failed hexadecimal conversion leave the target as it was.
template <typename T>
void check_integer(zor::util::CmdArgParser& parser, model_cursor& model, T (*expected)(int),
                   const args_list& args) {
    const T before = expected(0x5A5A);
    T value = before;
    const bool got = parser.next(value);
    const std::optional<std::string> text = model.take();
    if (!text) {
        require(!got && value == before, args, "a refused integer value changed something");
        return;
    }
    const std::optional<std::uint32_t> number = model_number(*text);
    require(got == number.has_value(), args, "integer conversion disagrees with the model");
    if (number) {
        require(value == expected(static_cast<int>(*number)), args, "integer value differs");
    } else if (hex_form(*text)) {
        require(value == before, args, "a failed hexadecimal conversion changed the target");
    }
}

template <typename T>
void check_floating(zor::util::CmdArgParser& parser, model_cursor& model, const args_list& args) {
    const T before = T(-0.25);
    T value = before;
    const bool got = parser.next(value);
    const std::optional<std::string> text = model.take();
    if (!text) {
        require(!got && value == before, args, "a refused floating value changed something");
    }
}

void check_text(zor::util::CmdArgParser& parser, model_cursor& model, const args_list& args) {
    std::string value = "untouched";
    const bool got = parser.next_str(value);
    const std::optional<std::string> text = model.take();
    require(got == text.has_value(), args, "next_str took a value the model refuses, or back");
    require(value == (text ? *text : "untouched"), args, "next_str gave another text");
}

constexpr int value_kinds = 11;

// Takes one value with the overload numbered `kind`.
void check_one(int kind, zor::util::CmdArgParser& parser, model_cursor& model,
               const args_list& args) {
    switch (kind) {
        case 0:
            check_text(parser, model, args);
            break;
        case 1:
            check_integer<int>(
                parser, model, [](int v) { return v; }, args);
            break;
        case 2:
            check_integer<unsigned int>(
                parser, model, [](int v) { return static_cast<unsigned int>(v); }, args);
            break;
        case 3:
            check_integer<long>(
                parser, model, [](int v) { return static_cast<long>(v); }, args);
            break;
        case 4:
            check_integer<unsigned long>(
                parser, model,
                [](int v) { return static_cast<unsigned long>(static_cast<std::uint32_t>(v)); },
                args);
            break;
        case 5:
            check_integer<short>(
                parser, model,
                [](int v) { return static_cast<short>(static_cast<std::uint16_t>(v)); }, args);
            break;
        case 6:
            check_integer<unsigned short>(
                parser, model, [](int v) { return static_cast<unsigned short>(v); }, args);
            break;
        case 7:
            check_integer<char>(
                parser, model,
                [](int v) { return static_cast<char>(static_cast<unsigned char>(v)); }, args);
            break;
        case 8:
            check_integer<unsigned char>(
                parser, model, [](int v) { return static_cast<unsigned char>(v); }, args);
            break;
        case 9:
            check_floating<float>(parser, model, args);
            break;
        default:
            check_floating<double>(parser, model, args);
            break;
    }
}

// Before any find, the cursor stands nowhere and no value is given out.
void check_unset_cursor(zor::util::CmdArgParser& parser, const args_list& args) {
    std::string text;
    int number = 0;
    double floating = 0;
    require(!parser.next_str(text) && !parser.next(number) && !parser.next(floating), args,
            "a value was given out before any find");
}

// Places the cursor after several arguments in turn and takes what follows
// with every overload, looking in between for a prefix that must not match.
void check_values(zor::util::CmdArgParser& parser, const args_list& args, unsigned int seed) {
    constexpr std::size_t max_rounds = 8;
    constexpr int max_values = 16;
    model_cursor model(args);
    for (std::size_t round = 0; round < args.size() && round < max_rounds; ++round) {
        const std::string& option = args[round];
        require(parser.find(option) && model.find(option), args, "find missed an argument");
        for (int step = 0; step < max_values; ++step) {
            if (step == 1 && option.size() > 1) {
                const std::string prefix = option.substr(0, option.size() - 1);
                require(parser.find(prefix) == model.find(prefix), args,
                        "find matched a prefix, or missed a whole argument");
            }
            const int kind = static_cast<int>((seed + round + step) % value_kinds);
            check_one(kind, parser, model, args);
        }
    }
}

// A process's argument vector for "rtprobe" and `args`, ended by a null
// pointer, in both the forms that the parser takes.
class argv_block {
  public:
    explicit argv_block(const args_list& args) : storage_(args) {
        pointers_.push_back(program_.data());
        for (std::string& arg : storage_) {
            pointers_.push_back(arg.data());
        }
        pointers_.push_back(nullptr);
        const_pointers_.assign(pointers_.begin(), pointers_.end());
    }
    ~argv_block() = default;
    argv_block(const argv_block&) = delete;
    argv_block& operator=(const argv_block&) = delete;

    int argc() const { return static_cast<int>(pointers_.size() - 1); }
    char** argv() { return pointers_.data(); }
    const char** const_argv() { return const_pointers_.data(); }

  private:
    std::string program_ = "rtprobe";
    args_list storage_;
    std::vector<char*> pointers_;
    std::vector<const char*> const_pointers_;
};

// Both constructors lead to the model's decision; returns the option found.
const char* check_decide(const args_list& args) {
    argv_block argv(args);
    const model_decision want = model_decide(args);

    zor::util::CmdArgParser parser(argv.argc(), argv.argv());
    check_decision(decide_command(parser), want, args);

    zor::util::CmdArgParser const_parser(argv.argc(), argv.const_argv());
    check_unset_cursor(const_parser, args);
    check_decision(decide_command(const_parser), want, args);
    return want.option;
}

args_list split_arguments(const std::uint8_t* data, std::size_t size) {
    args_list args;
    if (size == 0) {
        return args;
    }
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            args.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const args_list args = split_arguments(data, size);

    // The option that wins is struck off the line, again and again, so that
    // every option present is checked against each one below it.
    args_list rest = args;
    for (const char* won = check_decide(rest); won != nullptr; won = check_decide(rest)) {
        rest.erase(std::remove(rest.begin(), rest.end(), won), rest.end());
    }

    argv_block argv(args);
    zor::util::CmdArgParser values(argv.argc(), argv.argv());
    check_unset_cursor(values, args);
    check_values(values, args, size > 0 ? data[0] : 0U);

    if (args.empty()) {
        zor::util::CmdArgParser no_argv(0, static_cast<char**>(nullptr));
        check_decision(decide_command(no_argv), model_decision{}, args);
    }
    return 0;
}
