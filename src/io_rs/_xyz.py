"""Whole XYZ files, one frame or many.

    atom count                (one whole number)
    comment                   (any single line, kept as it is)
    one line per atom: symbol x y z, further columns ignored

Blank lines may stand between and after frames; anything else where an atom
count is due is an error naming the line. Symbols are read with their first
letter upper case and the rest lower case (fe -> Fe).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from itertools import accumulate
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

from ._files import FrameFile, Pieces, Source, Target, Text, label, open_data, open_pieces, runs, write_data


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


def _split(read: XyzRead) -> list[XyzFrame]:
    """The frames of one read_xyz_frames call."""
    comments, symbols, positions, counts, _ = read
    if len(counts) == 1:  # no copy of the symbols of a single frame
        return [XyzFrame(comments[0], symbols, positions)]
    bounds = [0, *accumulate(counts.tolist())]
    # Frames of one size (a trajectory) are views made by one call.
    blocks = (list(positions.reshape(len(counts), bounds[1], 3)) if counts.min() == counts.max()
              else [positions[start:stop] for start, stop in zip(bounds, bounds[1:])])
    return [XyzFrame(comment, symbols[start:stop], block)
            for comment, start, stop, block in zip(comments, bounds, bounds[1:], blocks)]


def _frames(pieces: Pieces, name: str, batch: int | None) -> Iterator[list[XyzFrame]]:
    """The frames, a run at a time (at most `batch` frames a run), scanned and
    read a window at a time."""
    line, before = 1, 0
    while True:
        text = Text(pieces.data, "XYZ", name)
        table, (consumed, line_after, complete) = text.call(
            _io_rs_buffers.scan_xyz_frames, pieces.data, 0, (pieces.start, line, before), pieces.last)
        for start, stop in runs(table, batch):
            offset, line_at = int(table[start, 0]), int(table[start, 1])
            yield _split(text.call(_io_rs_buffers.read_xyz_frames, pieces.data, offset - pieces.start, stop - start,
                                   (pieces.start, line_at, before + start)))
        before += len(table)
        line = line_after
        if complete:
            return
        pieces.advance(consumed)


def read_xyz(file: Source) -> list[XyzFrame]:
    """Reads every frame of an XYZ file: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises ValueError naming the
    file and the line."""
    with open_data(file) as data:
        found = list(_frames(Pieces(None, data), label(file), None))
    return found[0] if len(found) == 1 else [frame for run in found for frame in run]


def iter_xyz(file: Source) -> Iterator[XyzFrame]:
    """Reads an XYZ file one frame at a time. A compressed file or an open
    stream is read a window of a few MB at a time, never whole; the file stays
    open until the iteration ends or the iterator is closed."""
    with open_pieces(file) as pieces:
        for run in _frames(pieces, label(file), 1):
            yield from run


class XyzFile(FrameFile[XyzFrame]):
    """An XYZ file held open for random access, as XdatcarFile: ``len(f)``,
    ``f[k]``, iteration and ``with``."""

    def __init__(self, file: Source) -> None:
        super().__init__(file, "XYZ")

    def _index(self, text: Text) -> NDArray[np.int64]:
        table: NDArray[np.int64] = text.call(_io_rs_buffers.scan_xyz_frames, text.data)[0]
        return table

    def _read(self, text: Text, k: int) -> XyzFrame:
        offset, line = int(self._table[k, 0]), int(self._table[k, 1])
        comments, symbols, positions, _, _ = text.call(_io_rs_buffers.read_xyz_frames, text.data, offset, 1,
                                                       (0, line, k))
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
