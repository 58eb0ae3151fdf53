# SPDX-License-Identifier: MIT
"""What a board's RX entries and DSP links mean, decoded whole: the facts
`rtsim show` lists and `rtsim diff` compares, and the parts of a board that
its captures leave unknown, which neither reads as 0."""

from .board import PARTS, load_boards
from .description import DescriptionError
from .layout import DSP_LINKS, FLAGS, NODES, REGISTERS, RX_ENTRIES, RX_TABLE, flag_bit

DESTINATION = 0x07FFC000  # the field whose one bit names the node an entry routes to
CHANNEL = 0x1FFF
ABOVE = 0xF8000000  # where I/O>L12's and Mezz>L14's bits lie: no entry routes there
NODE_OF_FIELD = {bit: name for name, bit in NODES if bit & DESTINATION}


def route(word):
    """An entry's meaning: route 'node' (with node and channel), 'none' (no
    destination bit anywhere) or 'nowhere' (with why: bits that name no
    one node)."""
    field = word & DESTINATION
    if field in NODE_OF_FIELD:
        return {"route": "node", "node": NODE_OF_FIELD[field], "channel": word & CHANNEL}
    if not field:
        if not word & ABOVE:
            return {"route": "none"}
        return {"route": "nowhere", "why": "bits above the destination field only"}
    if field & (field - 1):
        return {"route": "nowhere", "why": f"{bin(field).count('1')} destination bits"}
    return {"route": "nowhere", "why": f"destination bit {field.bit_length() - 1} names no node"}


def word_meaning(word):
    return {"word": word, **route(word)}


def entry(index, word):
    return {"index": index, "address": RX_TABLE + 4 * index, **word_meaning(word)}


def meaning(fact):
    """An entry's meaning as a line says it."""
    if fact["route"] == "node":
        return f"{fact['node']} channel {fact['channel']}"
    return "no route" if fact["route"] == "none" else f"nowhere: {fact['why']}"


def link_flags(board, known):
    """Each DSP link's flags, 0 or 1, those of the registers known only."""
    links = {}
    for link, name in enumerate(DSP_LINKS):
        links[name] = {flag: int(bool(board.regs.get(REGISTERS[register], 0)
                                      & flag_bit(flag, link)))
                       for flag, (register, _) in FLAGS.items() if REGISTERS[register] in known}
    return links


def known(board):
    """The RX entries and register offsets the board's files give, and the
    names of the parts they leave unknown. A description gives every word
    (what it leaves unset is 0); a capture only what its reports and
    settings show, and with --fill-zero every entry."""
    if not board.reading.captured:
        return set(range(RX_ENTRIES)), set(REGISTERS.values()), []
    entries, registers, unknown = set(board.rx), set(board.regs), []
    if not entries:
        unknown.append("the RX table")
    elif len(entries) < RX_ENTRIES:
        unknown.append(f"{RX_ENTRIES - len(entries)} of the {RX_ENTRIES} RX entries")
    for part, names in PARTS.items():
        lacking = [name for name in names if REGISTERS[name] not in registers]
        unknown += [part] if len(lacking) == len(names) else lacking
    return entries, registers, unknown


def load(names, options, say, left, side=""):
    """The board of the files named, as `rtsim run` reads them (the same
    refusals), and what its files leave unknown: said on standard error to
    be left (not shown, not compared), or refused with --strict."""
    board = load_boards(names, options.fill_zero)
    entries, registers, unknown = known(board)
    if board.reading.unknown and options.strict:
        raise DescriptionError(f"{side}no file gives {', '.join(board.reading.unknown)}; "
                               "--strict refuses a board that leaves it unknown")
    if unknown:
        say(f"{side}no file gives {', '.join(unknown)}: {left}, not read as 0")
    return board, entries, registers, unknown
