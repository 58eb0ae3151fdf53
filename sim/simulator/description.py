# SPDX-License-Identifier: MIT
"""The board description language: one setting a line, each read into a
change of the board's register words or RX entries."""

import dataclasses
import difflib
import re

from .layout import DSP_LINKS, FLAGS, NODES, REGISTER_PAGE, REGISTERS, RX_ENTRIES, flag_bit

LINK_PARTS = {"tx": ("tx_run", "tx_data"), "rx": ("rx_run", "rx_data"),
              "clock": ("clock_lock", "clock_run"),
              "all": ("tx_run", "tx_data", "rx_run", "rx_data", "clock_lock", "clock_run")}
LINK_PARTS.update({flag: (flag,) for flag in list(FLAGS)[:6]})


class DescriptionError(ValueError):
    """A board file, or a line of one, that cannot be read."""


def shown(text, most=40):
    """Text quoted in a message, cut so that the message stays one short line."""
    return text if len(text) <= most else text[:most - 3] + "..."


def _nearest(word, known, what):
    """An unknown word, with the known one it most resembles."""
    best = difflib.get_close_matches(word[:40], known, n=1, cutoff=0)
    hint = f" (did you mean '{best[0]}'?)" if best else ""
    return DescriptionError(f"unknown {what} '{shown(word)}'{hint}")


def _number(text, what, low, high):
    # As rtprobe reads its numbers: 0x and hexadecimal digits, or decimal digits,
    # where leading zeros do not make octal.
    if not re.fullmatch(r"0[xX][0-9A-Fa-f]+|[0-9]+", text):
        raise DescriptionError(f"{what} '{shown(text)}' is not a number "
                               "(decimal, or hexadecimal after 0x)")
    value = int(text, 16) if text[1:2] in ("x", "X") else int(text, 10)
    if not low <= value <= high:
        raise DescriptionError(f"{what} {shown(text)} is outside {low:#x}..{high:#x}")
    return value


def _word(text):
    return _number(text, "value", 0, 0xFFFFFFFF)


def _node(text, names):
    if text.isdigit():
        return _number(text, "node", 0, len(names) - 1)
    if text in names:
        return names.index(text)
    raise _nearest(text, names, "node")


def _links(text):
    return range(8) if text == "all" else [_node(text, DSP_LINKS)]


def _state(text, on, off):
    if text not in (on, off):
        raise _nearest(text, (on, off), "state")
    return text == on


def _flags(flags, links, on):
    """A change that sets or clears the given flags of the given links."""
    bits = {}
    for flag in flags:
        offset = REGISTERS[FLAGS[flag][0]]
        for link in links:
            bits[offset] = bits.get(offset, 0) | flag_bit(flag, link)

    def change(board):
        for offset, mask in bits.items():
            value = board.regs.get(offset, 0)
            board.regs[offset] = value | mask if on else value & ~mask
    return change


def _link(node, part, state):
    links = _links(node)
    if part not in LINK_PARTS:
        raise _nearest(part, list(LINK_PARTS), "link flag")
    return _flags(LINK_PARTS[part], links, _state(state, "up", "down"))


def _loopback(node, end, state):
    links = _links(node)
    if end not in ("far", "near"):
        raise _nearest(end, ("far", "near"), "loopback end")
    return _flags((end,), links, _state(state, "on", "off"))


def _set_register(offset, value):
    return lambda board: board.regs.__setitem__(offset, value)


def _reg(offset, value):
    offset = _number(offset, "register offset", 0, REGISTER_PAGE - 4)
    if offset % 4:
        raise DescriptionError(f"register offset {offset:#x} is not a multiple of 4")
    return _set_register(offset, _word(value))


def _set_entry(index, value):
    return lambda board: board.rx.__setitem__(index, value)


def _route(index, node, channel):
    index = _number(index, "RX index", 0, RX_ENTRIES - 1)
    bit = NODES[_node(node, [name for name, _ in NODES])][1]
    return _set_entry(index, bit | _number(channel, "channel", 0, 0x1FFF))


def _rx(index, value):
    return _set_entry(_number(index, "RX index", 0, RX_ENTRIES - 1), _word(value))


def _named_register(offset):
    return lambda value: _set_register(offset, _word(value))


# Each setting: the change it makes, read from its words, and an example.
SETTINGS = {
    **{name: (_named_register(offset), f"{name} 0x00FF00FF") for name, offset in REGISTERS.items()},
    "reg": (_reg, "reg 0x240 0x00FF00FF"),
    "rx": (_rx, "rx 3 0x00201ABC"),
    "route": (_route, "route 4 DSP1>L7 17"),
    "link": (_link, "link DSP2>L1 tx down"),
    "loopback": (_loopback, "loopback DSP2>L0 far on"),
}


def setting(words):
    """The change a setting's words make: a function of the board."""
    if words[0].startswith("---"):
        raise DescriptionError("a report's separator line, but no report header follows; "
                               "a description holds settings only")
    if words[0] not in SETTINGS:
        raise _nearest(words[0], list(SETTINGS), "setting")
    read, example = SETTINGS[words[0]]
    if len(words) != len(example.split()):
        raise DescriptionError(f"'{shown(' '.join(words))}' does not read like '{example}'")
    return read(*words[1:])


# Settings in a file: a board has 9216 words; many more settings than that
# is no board file, and would only make reading it slow.
MOST_SETTINGS = 20000


@dataclasses.dataclass
class Setting:
    """A description line: where it stands and the change it makes."""

    name: str
    line: int
    change: object


def read_setting(name, line, words, count):
    """The count-th setting (from 0) of a file, at the given line."""
    if count >= MOST_SETTINGS:
        raise DescriptionError(f"{name}:{line}: more than {MOST_SETTINGS} settings, more than "
                               "a board has words; not a board file")
    try:
        return Setting(name, line, setting(words))
    except DescriptionError as error:
        raise DescriptionError(f"{name}:{line}: {error}") from None
