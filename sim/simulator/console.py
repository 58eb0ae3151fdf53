# SPDX-License-Identifier: MIT
"""A saved console's bytes as text: decoded (UTF-8, or UTF-16 as a Windows
editor saves it), refused when the file is no text at all, and without what
terminals and serial loggers add. Every step works on the whole file at
once, so that a large file costs no loop over its lines."""

import re

from .description import SETTINGS, DescriptionError

# Bytes of text: printable ASCII, UTF-8's high bytes, and the controls a
# terminal sends (tab, line ends, form feed, backspace, escape).
_TEXT_BYTES = bytes(range(0x20, 0x7F)) + bytes(range(0x80, 0x100)) + b"\t\n\r\x0c\x08\x1b"
ESCAPES = re.compile(r"\x1b\][^\x07\x1b\n]*(?:\x07|\x1b\\)?|\x1b\[[0-?]*[ -/]*[@-~]|\x1b[ -~]")
ERASED = re.compile(r"[^\x08\n]\x08")
CR_ENDS = re.compile(r"\r+\n")
OVERWRITTEN = re.compile(r"(?m)^[^\n]*\r")
CONTROLS = re.compile(r"[\x00-\x08\x0b-\x1f\x7f\ufeff]")
# A timestamp at the start of a line: an ISO date and time, a time alone, a
# kernel's seconds since boot, ts(1)'s "Dec 07 01:38:00" (with %.S, fractions
# of a second), dmesg -T's "[Sun Dec  7 01:38:00 2026]". (The look-ahead lets
# most lines fail at once.)
STAMPS = re.compile(r"(?m)^(?=[\[\dA-Z])(?:\[?(?:\d{4}-\d\d-\d\d[ T_])?\d\d:\d\d:\d\d(?:[.,]\d+)?"
                    r"(?:Z|[+-]\d\d:?\d\d)?\]?|\[[ \t]*\d+\.\d+\]"
                    r"|[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d(?:[.,]\d+)?"
                    r"|\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\])[ \t]?")
# A timestamp before what reads like a setting: the line is console output
# (a kernel's "link up, speed 1000"), never a setting in a capture, so the
# stamp leaves a vertical tab, which no setting's line starts with and a
# description drops.
STAMPED_SETTINGS = re.compile(STAMPS.pattern + "(?=(?:" + "|".join(SETTINGS) + r")[ \t])")
STAMPED = "\x0b"
# Backspaces are undone a few times over: a typed correction, not a file of them.
ERASE_ROUNDS = 8


def _utf16(data):
    """The codec of a UTF-16 file, by the NUL bytes that ASCII text has in
    every other byte, or None."""
    sample = data[:4096]
    even, odd = sample[0::2].count(0), sample[1::2].count(0)
    half = max(len(sample) // 2, 1)
    if odd > 0.3 * half and even < 0.05 * half:
        return "utf-16" if sample.startswith(b"\xff\xfe") else "utf-16-le"
    if even > 0.3 * half and odd < 0.05 * half:
        return "utf-16" if sample.startswith(b"\xfe\xff") else "utf-16-be"
    return None


def decode(data):
    """A file's text, and whether it was UTF-8. Refuses a file that is not
    text: an ELF binary, or one where most bytes are no text."""
    if data.startswith(b"\x7fELF"):
        raise DescriptionError("an ELF binary, not a board; the binary to run comes "
                               "after the options")
    codec = _utf16(data)
    if codec:
        return data[:len(data) & ~1].decode(codec, "replace").lstrip("\ufeff"), False
    text = data.decode("utf-8", "replace")
    strange = len(data.translate(None, _TEXT_BYTES)) + text.count("\ufffd")
    if strange * 4 > len(data):
        raise DescriptionError(f"{strange} of its {len(data)} bytes are no text: a binary "
                               "file or an image, not a board")
    return text, True


def clean(text):
    """The text without what terminals and loggers add: line ends made LF
    (its lines numbered as the file's), escape sequences, characters erased
    by backspace, control characters and byte-order marks, a timestamp at
    the start of each line (before a setting's name, STAMPED is left)."""
    if "\n" in text:
        # Lines are numbered by LF, as grep -n and editors number them: CRs
        # before a line end go, and a line a CR returned over (a progress
        # meter) keeps what was written last, as the terminal showed it.
        text = OVERWRITTEN.sub("", CR_ENDS.sub("\n", text))
    else:
        text = text.replace("\r", "\n")  # an old Mac's, or a serial logger's, line ends
    text = ESCAPES.sub("", text)
    for _ in range(ERASE_ROUNDS):
        if "\b" not in text:
            break
        text = ERASED.sub("", text)
    text = STAMPED_SETTINGS.sub(STAMPED, CONTROLS.sub("", text))
    return STAMPS.sub("", text)


def line_of(text, position):
    """The line number (from 1) of a position in text whose line ends are LF."""
    return text.count("\n", 0, position) + 1
