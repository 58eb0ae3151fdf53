# SPDX-License-Identifier: MIT
"""The board image: a sparse file of physical memory up to the end of the RX
table, words in the byte order of the binary under test."""

import os

from .board import FPGA_BASE, IMAGE_SIZE, RX_TABLE


def write_image(path, board, byteorder):
    """A sparse image of physical memory up to the end of the RX table."""
    with open(path, "wb") as f:
        f.truncate(IMAGE_SIZE)
        for offset, value in sorted(board.regs.items()):
            f.seek(FPGA_BASE + offset)
            f.write(value.to_bytes(4, byteorder))
        for index, value in sorted(board.rx.items()):
            f.seek(RX_TABLE + 4 * index)
            f.write(value.to_bytes(4, byteorder))


def read_words(path, address, count, byteorder):
    with open(path, "rb") as f:
        f.seek(address)
        data = f.read(4 * count)
    return [int.from_bytes(data[i:i + 4], byteorder) for i in range(0, len(data), 4)]


def data_extents(path):
    """The (start, end) ranges of an image that hold data, holes left out."""
    extents = []
    with open(path, "rb") as f:
        fd, end, pos = f.fileno(), os.fstat(f.fileno()).st_size, 0
        while pos < end:
            try:
                start = os.lseek(fd, pos, os.SEEK_DATA)
            except OSError:
                break
            pos = os.lseek(fd, start, os.SEEK_HOLE)
            extents.append((start, pos))
    return extents
