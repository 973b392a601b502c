"""Whole XYZ files, one frame or many.

    atom count                (one whole number)
    comment                   (any single line, kept as it is)
    one line per atom: symbol x y z, further columns ignored

Blank lines may stand between and after frames; anything else where an atom
count is due is an error naming the line. Symbols are read with their first
letter upper case and the rest lower case (fe -> Fe).
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from itertools import accumulate
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

from ._files import FrameFile, Source, Target, Text, label, open_data, write_data

_FRAME_NUMBER = re.compile(r"\bframe (\d+)")


@dataclass(eq=False, slots=True)
class XyzFrame:
    """One frame of an XYZ file."""

    #: The comment line, exactly as written (without its line end).
    comment: str
    #: One chemical symbol per atom.
    symbols: list[str]
    #: Cartesian coordinates, atoms x 3.
    positions: NDArray[np.float64]


XyzRead = tuple[list[str], list[str], NDArray[np.float64], NDArray[np.int64], int]


def _read(text: Text, pos: int, max_frames: int | None, before: int) -> XyzRead:
    """read_xyz_frames at pos, its frame numbers in messages counted from the
    start of the file (`before` frames precede pos)."""
    try:
        return _io_rs_buffers.read_xyz_frames(text.data, pos, max_frames)
    except ValueError as error:
        raise _renumbered(text, error, before) from None


def _renumbered(text: Text, error: ValueError, before: int) -> ValueError:
    return text.reworded(_FRAME_NUMBER.sub(lambda m: f"frame {int(m[1]) + before}", str(error), count=1))


def _no_count(text: Text, pos: int) -> ValueError:
    return text.expected(pos, "an atom count (one whole number)", text.line(pos)[0])


def _frames(text: Text, batch: int | None) -> Iterator[list[XyzFrame]]:
    """The frames, a run at a time (at most `batch` frames a run)."""
    pos = text.skip_blank(0)
    before = 0
    while pos < text.size:
        comments, symbols, positions, counts, end = _read(text, pos, batch, before)
        if not len(counts):
            raise _no_count(text, pos)
        if len(counts) == 1:  # no copy of the symbols of a single frame
            frames = [XyzFrame(comments[0], symbols, positions)]
        else:
            bounds = [0, *accumulate(counts.tolist())]
            # Frames of one size (a trajectory) are views made by one call.
            blocks = (list(positions.reshape(len(counts), bounds[1], 3)) if counts.min() == counts.max()
                      else [positions[start:stop] for start, stop in zip(bounds, bounds[1:])])
            frames = [XyzFrame(comment, symbols[start:stop], block)
                      for comment, start, stop, block in zip(comments, bounds, bounds[1:], blocks)]
        yield frames
        before += len(frames)
        pos = text.skip_blank(end)


def read_xyz(file: Source) -> list[XyzFrame]:
    """Reads every frame of an XYZ file: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises ValueError naming the
    file and the line."""
    with open_data(file) as data:
        runs = list(_frames(Text(data, "XYZ", label(file)), None))
    return runs[0] if len(runs) == 1 else [frame for run in runs for frame in run]


def iter_xyz(file: Source) -> Iterator[XyzFrame]:
    """Reads an XYZ file one frame at a time (the file stays open until the
    iteration ends or the iterator is closed)."""
    with open_data(file) as data:
        for run in _frames(Text(data, "XYZ", label(file)), 1):
            yield from run


class XyzFile(FrameFile[XyzFrame]):
    """An XYZ file held open for random access, as XdatcarFile: ``len(f)``,
    ``f[k]``, iteration and ``with``."""

    def __init__(self, file: Source) -> None:
        super().__init__(file, "XYZ")

    def _index(self, text: Text) -> NDArray[np.int64]:
        offsets: list[NDArray[np.int64]] = []
        before = 0
        pos = text.skip_blank(0)
        while pos < text.size:
            try:
                found = _io_rs_buffers.index_xyz_frames(text.data, pos)
            except ValueError as error:
                raise _renumbered(text, error, before) from None
            if not len(found):
                raise _no_count(text, pos)
            before += len(found)
            pos = text.skip_blank(_read(text, int(found[-1]), 1, before - 1)[4])
            offsets.append(found)
        return np.concatenate(offsets) if offsets else np.zeros(0, dtype=np.int64)

    def _read(self, text: Text, k: int) -> XyzFrame:
        comments, symbols, positions, _, _ = _read(text, int(self._offsets[k]), 1, k)
        return XyzFrame(comments[0], symbols, positions)


def open_xyz(file: Source) -> XyzFile:
    """Opens an XYZ file for random access to its frames; the same as XyzFile(file)."""
    return XyzFile(file)


def format_xyz(frames: Iterable[XyzFrame]) -> bytes:
    """The bytes of an XYZ file, as write_xyz writes them."""
    frames = list(frames)
    blocks = []
    for k, frame in enumerate(frames):
        positions = np.asarray(frame.positions, dtype=np.float64)
        if positions.shape != (len(frame.symbols), 3):
            raise ValueError(f"frame {k}: positions must be {len(frame.symbols)} x 3, one row per symbol, "
                             f"not {positions.shape}")
        blocks.append(positions)
    if len(frames) == 1:
        symbols, positions = frames[0].symbols, blocks[0]
    else:
        symbols = [symbol for frame in frames for symbol in frame.symbols]
        positions = np.concatenate(blocks) if blocks else np.zeros((0, 3))
    return _io_rs_buffers.format_xyz_frames([frame.comment for frame in frames], symbols, positions,
                                            [len(frame.symbols) for frame in frames])


def write_xyz(file: Target, frames: Iterable[XyzFrame]) -> None:
    """Writes XYZ frames to a path (.gz, .bz2, .xz compressed) or an open
    binary file. Comments must be single lines; symbols single fields."""
    write_data(file, format_xyz(frames))
