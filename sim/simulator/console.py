# SPDX-License-Identifier: MIT
"""A saved console's bytes as text: decoded (UTF-8, or UTF-16 as a Windows
editor saves it, one codec for the whole file), refused when the file is no
text at all, and rendered as a terminal shows it. What a terminal would not
show plainly (a NUL or break, an escape sequence rtsim does not render,
bytes that are not text) leaves DAMAGE in its line, which no report's line
holds. Every step works on the whole file at once, so that a large file
costs no loop over its lines."""

import re

from .description import SETTINGS, DescriptionError

DAMAGE = "\ufffd"
# Bytes of text: printable ASCII, UTF-8's high bytes, and the controls a
# terminal sends (tab, line ends, form feed, backspace, escape).
_TEXT_BYTES = bytes(range(0x20, 0x7F)) + bytes(range(0x80, 0x100)) + b"\t\n\r\x0c\x08\x1b"
BOMS = {b"\xff\xfe": "utf-16-le", b"\xfe\xff": "utf-16-be", b"\xef\xbb\xbf": "utf-8"}
# Blocks of the file each judged alone: UTF-16 where NULs fill every other
# byte (ASCII in UTF-16), 8-bit where there are next to none.
BLOCK = 256
# CRs before a line end, found only from the run's first (a search from
# inside a run would cost the run's length at each of its CRs).
CR_ENDS = re.compile(r"(?<!\r)\r+\n")
CR_RUNS = re.compile(r"(?<!\r)\r\r+")
OVERWRITTEN = re.compile(r"(?m)^[^\n\r]*\r[^\n]*")
# Bounds on what is rendered, so that no file of them costs more than a
# moment: a line as saved (a progress meter's, CRs and all), and the CRs that
# return over a line (a terminal's; a file of CR line ends with an LF holds
# many more).
MOST_SAVED_LINE = 1 << 16
MOST_RETURNS = 20000
# What a terminal shows as nothing: colours and other attributes, charset
# selection, modes (bracketed paste, the cursor shown), window titles,
# erasing a line's end where it ends, the bell, shift-in, byte-order marks.
SHOWN_AS_NOTHING = re.compile(r"\x1b(?:\[[0-9;:]*m|[()*+][0-~]|\[\?[0-9;]*[hl]|[=>]"
                              r"|\][^\x07\x1b\n]*(?:\x07|\x1b\\)|\[[0-2]?K(?=[\r\n]|\Z))"
                              r"|[\x07\x0f\ufeff]")
# Cursor moves forward, as the blanks they leave (a few hundred at most).
FORWARD = re.compile(r"\x1b\[(\d{0,3})C")
ERASED = re.compile(r"[^\x08\n]\x08")
UNRENDERED = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")
# A timestamp at the start of a line: an ISO date and time, a time alone,
# ts(1)'s "Dec 07 01:38:00" (with %.S, fractions of a second), dmesg -T's
# "[Sun Dec  7 01:38:00 2026]", one or more (a log of a log). (The
# look-ahead lets most lines fail at once.) A kernel's "[   12.345678]"
# stays: it marks a kernel message.
STAMPS = re.compile(r"(?m)^(?:(?=[\[\dA-Z])(?:\[?(?:\d{4}-\d\d-\d\d[ T_])?\d\d:\d\d:\d\d"
                    r"(?:[.,]\d+)?(?:Z|[+-]\d\d:?\d\d)?\]?"
                    r"|[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d(?:[.,]\d+)?"
                    r"|\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\])[ \t]?)+")
# A timestamp before what reads like a setting: the line is console output
# (a kernel's "link up, speed 1000"), never a setting in a capture, so the
# stamp leaves a vertical tab, which no setting's line starts with and a
# description drops.
STAMPED_SETTINGS = re.compile(STAMPS.pattern + "(?=(?:" + "|".join(SETTINGS) + r")[ \t])")
STAMPED = "\x0b"
# Backspaces are undone a few times over: a typed correction, not a file of them.
ERASE_ROUNDS = 8
FORWARD_BLANKS = {str(count): " " * count for count in range(1, 200)} | {"": " ", "0": " "}


def _kind(block):
    """How a block of a file is encoded, judged by its NULs; None when unclear."""
    even, odd, half = block[0::2].count(0), block[1::2].count(0), len(block) // 2
    if len(block) < 16:
        return None
    if odd > 0.3 * half and even < 0.05 * half:
        return "utf-16-le"
    if even > 0.3 * half and odd < 0.05 * half:
        return "utf-16-be"
    return "utf-8" if even + odd < 0.1 * half else None


def _codec(data):
    """The file's codec: its byte-order mark's, else the first clear block's.
    Refuses a file whose blocks change codec part way (two logs appended)."""
    codec = next((codec for bom, codec in BOMS.items() if data.startswith(bom)), None)
    for start in range(0, len(data), BLOCK):
        kind = _kind(data[start:start + BLOCK])
        codec = codec or kind
        if kind and kind != codec:
            line = data[:start].decode(codec, "replace").count("\n") + 1
            raise DescriptionError(f":{line}: the text changes from {codec.upper()} to "
                                   f"{kind.upper()} near here (two logs appended?); save each "
                                   "to a file of its own")
    return codec or "utf-8"


def decode(data):
    """A file's text, and whether it was UTF-8. Refuses a file that is not
    text: an ELF binary, or one where most bytes are no text."""
    if data.startswith(b"\x7fELF"):
        raise DescriptionError(": an ELF binary, not a board; the binary to run comes "
                               "after the options")
    codec = _codec(data)
    if codec != "utf-8":
        return data[:len(data) & ~1].decode(codec, "replace"), False
    text = data.decode("utf-8", "replace")
    strange = len(data.translate(None, _TEXT_BYTES)) + text.count(DAMAGE)
    if strange * 4 > len(data):
        raise DescriptionError(f": {strange} of its {len(data)} bytes are no text: a binary "
                               "file or an image, not a board")
    return text, True


def _overwrite(found):
    """A line a CR returned over, as the terminal showed it: each column
    holds what was written there last."""
    parts = found[0].split("\r")
    shown = parts[-1]
    for part in reversed(parts):
        if len(part) > len(shown):
            shown += part[len(shown):]
    return shown


def clean(text):
    """The text as a terminal showed it (line ends made LF, its lines
    numbered as the file's), without the timestamps loggers add at the start
    of each line (before a setting's name, STAMPED is left)."""
    if "\n" in text:
        # Lines are numbered by LF, as grep -n and editors number them: CRs
        # before a line end go; a line a CR returned over (a progress meter)
        # is overwritten as on the terminal.
        text = CR_RUNS.sub("\r", CR_ENDS.sub("\n", text))
    else:
        text = text.replace("\r", "\n")  # an old Mac's, or a serial logger's, line ends
    long = re.search(r"(?m)^[^\n]{%d}" % MOST_SAVED_LINE, text)
    if long:
        raise DescriptionError(f":{line_of(text, long.start())}: a line of more than "
                               f"{MOST_SAVED_LINE} characters; not a console log of a board")
    if text.count("\r") > MOST_RETURNS:
        raise DescriptionError(f": more than {MOST_RETURNS} CRs inside lines (CR line ends "
                               "with LFs among them?); make its line ends all LF or CRLF")
    text = SHOWN_AS_NOTHING.sub("", text)
    text = FORWARD.sub(lambda found: FORWARD_BLANKS.get(found[1], DAMAGE), text)
    text = OVERWRITTEN.sub(_overwrite, text) if "\r" in text else text
    for _ in range(ERASE_ROUNDS):
        text, erased = ERASED.subn("", text) if "\b" in text else (text, 0)
        if not erased:
            break
    text = STAMPED_SETTINGS.sub(STAMPED, UNRENDERED.sub(DAMAGE, text))
    return STAMPS.sub("", text)


def line_of(text, position):
    """The line number (from 1) of a position in text whose line ends are LF."""
    return text.count("\n", 0, position) + 1
