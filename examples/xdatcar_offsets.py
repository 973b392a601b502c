"""Random access to a fixed-cell XDATCAR through _io_rs_buffers: the offset
of every frame is found once, without reading a coordinate, and frame k is
then read alone from the file's bytes.

io_rs.open_xdatcar does the same for every kind of XDATCAR file.
"""

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers


def frame_offsets(data: bytes) -> tuple[NDArray[np.int64], int]:
    """The byte offset of every frame of a file with a VASP 5 header (seven
    lines), and the number of atoms."""
    offset = 0
    for _ in range(6):
        offset = data.index(b"\n", offset) + 1
    counts_end = data.index(b"\n", offset) + 1
    natoms = sum(int(count) for count in data[offset:counts_end].split())
    return _io_rs_buffers.index_xdatcar_frames(data, counts_end, natoms), natoms


def read_frame(data: bytes, k: int) -> tuple[int, NDArray[np.float64]]:
    """The number and the fractional coordinates of frame k."""
    offsets, natoms = frame_offsets(data)
    frames, numbers, _ = _io_rs_buffers.read_xdatcar_frames(data, int(offsets[k]), natoms, 1)
    return int(numbers[0]), frames[0]
