# SPDX-License-Identifier: MIT
"""The board image: a sparse file of physical memory up to the end of the RX
table, words in the byte order of the binary under test."""

import errno
import os
import stat

from .board import FPGA_BASE, IMAGE_SIZE, RX_TABLE


# The part of the image a program maps: the register page to the table's end.
IMAGE_PAGES = IMAGE_SIZE - FPGA_BASE


class NoRoom(OSError):
    """A file system without room for the pages of an image."""


def write_image(path, board, byteorder):
    """A sparse image of physical memory up to the end of the RX table. The
    pages a program maps, from the register page to the table's end, are
    allocated and written whole here: a file system without room for them
    then fails now, with a message, rather than as SIGBUS in the program, and
    reading them does not change what the file holds."""
    if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
        raise OSError(errno.EINVAL, "not a regular file; an image is written to a file", path)
    window = bytearray(IMAGE_PAGES)
    for offset, value in board.regs.items():
        window[offset:offset + 4] = value.to_bytes(4, byteorder)
    for index, value in board.rx.items():
        at = RX_TABLE - FPGA_BASE + 4 * index
        window[at:at + 4] = value.to_bytes(4, byteorder)
    with open(path, "wb") as f:
        f.truncate(IMAGE_SIZE)
        try:
            os.posix_fallocate(f.fileno(), FPGA_BASE, IMAGE_PAGES)
            f.seek(FPGA_BASE)
            f.write(window)
            f.flush()
        except OSError as error:
            if error.errno in (errno.ENOSPC, errno.EDQUOT):
                raise NoRoom(error.errno, f"{os.path.dirname(os.path.abspath(path))}: no room "
                             f"for the board image ({IMAGE_PAGES >> 10} KiB)") from None
            raise


def read_words(path, address, count, byteorder):
    with open(path, "rb") as f:
        f.seek(address)
        data = f.read(4 * count)
    return [int.from_bytes(data[i:i + 4], byteorder) for i in range(0, len(data), 4)]

