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
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

if TYPE_CHECKING:
    import dask.array

from ._dask import frames_array
from ._files import (BATCH_BYTES, FrameFile, Pieces, Source, Target, Text, batches, chunks, label, open_all,
                     open_pieces, resolve_threads, read_range, runs, write_data)
from ._frame import Frame
from ._trajectory import Batch, FrameInfos, Trajectory


@dataclass(eq=False, slots=True)
class XyzFrame:
    """One frame of an XYZ file."""

    #: The comment line, exactly as written (without its line end).
    comment: str
    #: One chemical symbol per atom.
    symbols: list[str]
    #: Cartesian coordinates, atoms x 3.
    positions: NDArray[np.float64]

    def to_frame(self) -> Frame:
        """The frame as a Frame: Cartesian positions, no cell, pbc all false,
        the comment line in info["comment"]."""
        return Frame._make(self.symbols, self.positions, False, None, _NOT_PERIODIC, {"comment": self.comment}, {})

    @classmethod
    def from_frame(cls, frame: Frame) -> XyzFrame:
        """An XYZ frame of a frame: its symbols, Cartesian positions and
        info["comment"] (its first line; empty without one). What else the
        frame holds is left out: extended XYZ keeps it."""
        if frame.symbols is None:
            raise ValueError("XYZ needs a symbol per atom, and the frame has none")
        comment = frame.info.get("comment")
        text = (comment.splitlines() or [""])[0] if isinstance(comment, str) else ""
        return cls(text, frame.symbols, frame.cartesian_positions())


XyzRead = tuple[list[str], list[str], NDArray[np.float64], NDArray[np.int64], int]

_NOT_PERIODIC = np.zeros(3, dtype=np.bool_)
_NOT_PERIODIC.flags.writeable = False


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


def _frames(pieces: Pieces, name: str, batch: int | None, threads: int) -> Iterator[list[XyzFrame]]:
    """The frames, a run at a time (about `batch` bytes of frames a run),
    scanned and read a window at a time."""
    line, before = 1, 0
    while True:
        text = Text(pieces.data, "XYZ", name)
        table, (consumed, line_after, complete) = text.call(
            _io_rs_buffers.scan_xyz_frames, pieces.data, 0, (pieces.start, line, before), pieces.last)
        for start, stop in runs(table, batch):
            offset, line_at = int(table[start, 0]), int(table[start, 1])
            yield _split(text.call(_io_rs_buffers.read_xyz_frames, pieces.data, offset - pieces.start, stop - start,
                                   (pieces.start, line_at, before + start), threads=threads))
        before += len(table)
        line = line_after
        if complete:
            return
        pieces.advance(consumed)


def read_xyz(file: Source, *, threads: int | None = None) -> list[XyzFrame]:
    """Reads every frame of an XYZ file: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises ValueError naming the
    file and the line."""
    with open_all(file) as pieces:
        found = list(_frames(pieces, label(file), None, resolve_threads(threads)))
    return found[0] if len(found) == 1 else [frame for run in found for frame in run]


def iter_xyz(file: Source, *, threads: int | None = None) -> Iterator[XyzFrame]:
    """Reads an XYZ file one frame at a time. A compressed file or an open
    stream is read a window of a few MB at a time, never whole; the file stays
    open until the iteration ends or the iterator is closed."""
    with open_pieces(file) as pieces:
        for run in _frames(pieces, label(file), BATCH_BYTES, resolve_threads(threads)):
            yield from run


class XyzFile(FrameFile[XyzFrame]):
    """An XYZ file held open for random access, as XdatcarFile: ``len(f)``,
    ``f[k]``, iteration and ``with``."""

    def __init__(self, file: Source, *, threads: int | None = None) -> None:
        super().__init__(file, "XYZ", threads)

    def _index(self, pieces: Pieces) -> NDArray[np.int64]:
        tables, line, before = [], 1, 0
        while True:
            table, (consumed, line, complete) = Text(pieces.data, "XYZ", self._name).call(
                _io_rs_buffers.scan_xyz_frames, pieces.data, 0, (pieces.start, line, before), pieces.last)
            tables.append(table)
            before += len(table)
            if complete:
                return np.concatenate(tables)
            pieces.advance(consumed)

    @property
    def natoms(self) -> NDArray[np.int64]:
        """The number of atoms of each frame, from the frame table: no frame is read."""
        return self._table[:, 2].copy()

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every frame's positions as a Dask array, frames x atoms x 3, in
        chunks of frames_per_chunk frames that the tasks of a Dask computation
        read from the file's path when they need them. Every frame must hold
        the same number of atoms."""
        return frames_array(self._path, self._table, None, frames_per_chunk, read_frame_rows)

    def _read(self, text: Text, start: int, k: int) -> XyzFrame:
        offset, line = int(self._table[k, 0]), int(self._table[k, 1])
        comments, symbols, positions, _, _ = text.call(_io_rs_buffers.read_xyz_frames, text.data, offset - start, 1,
                                                       (start, line, k), threads=self._threads)
        return XyzFrame(comments[0], symbols, positions)

    def _iterate(self) -> Iterator[XyzFrame]:
        assert self._path is not None
        return iter_xyz(self._path, threads=self._threads)

    def _read_chunk(self, start: int, stop: int) -> list[XyzFrame]:
        return [frame for read in self._reads_of(start, stop) for frame in _split(read)]

    def _reads_of(self, start: int, stop: int) -> Iterator[XyzRead]:
        """Frames start to stop in as few calls as their runs need."""
        if start >= stop:
            return
        text, base = self._text_for(start, stop)
        rows = self._table[start:stop]
        for first, last in runs(rows):
            offset, line = int(rows[first, 0]), int(rows[first, 1])
            yield text.call(_io_rs_buffers.read_xyz_frames, text.data, offset - base, last - first,
                            (base, line, start + first), threads=self._threads)

    def comments(self) -> list[str]:
        """Every frame's comment line, without reading atom lines."""
        text, base = self._text_for(0, len(self._table)) if len(self._table) else (None, 0)
        if text is None:
            return []
        data = text.data
        assert not isinstance(data, memoryview)  # an open file's: its map or bytes, never a window
        found = []
        for offset in self._table[:, 0].tolist():
            start = data.find(b"\n", offset - base) + 1
            stop = data.find(b"\n", start)
            line = bytes(data[start:stop if stop >= 0 else len(data)])
            found.append(line.removesuffix(b"\r").decode("utf-8"))
        return found


def read_frame_rows(path: str, rows: NDArray[np.int64], first: int) -> NDArray[np.float64]:
    """The positions of some consecutive rows of an XYZ file's frame table,
    read from its path: what to_dask's tasks run."""
    start, stop = int(rows[0, 0]), int(rows[-1, 5])
    data = read_range(path, start, stop)
    text = Text(data, "XYZ", label(path))
    parts = []
    for begin, end in runs(rows):
        offset, line = int(rows[begin, 0]), int(rows[begin, 1])
        parts.append(text.call(_io_rs_buffers.read_xyz_frames, data, offset - start, end - begin,
                               (start, line, first + begin), threads=1)[2])
    return np.concatenate(parts).reshape(len(rows), -1, 3)


def open_xyz(file: Source, *, threads: int | None = None) -> XyzFile:
    """Opens an XYZ file for random access to its frames; the same as XyzFile(file)."""
    return XyzFile(file, threads=threads)


def _format_batch(frames: list[XyzFrame], first: int) -> bytes:
    blocks = []
    for k, frame in enumerate(frames, first):
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


def _chunks(frames: Iterable[XyzFrame | Frame]) -> Iterator[bytes]:
    first = 0
    converted = (XyzFrame.from_frame(frame) if isinstance(frame, Frame) else frame for frame in frames)
    for batch in batches(converted, lambda frame: len(frame.symbols)):
        yield _format_batch(batch, first)
        first += len(batch)


def format_xyz(frames: Iterable[XyzFrame | Frame]) -> bytes:
    """The bytes of an XYZ file, as write_xyz writes them."""
    return b"".join(_chunks(frames))


def write_xyz(file: Target, frames: Iterable[XyzFrame | Frame]) -> None:
    """Writes XYZ frames (or Frames, as XyzFrame.from_frame makes them) to a
    path (.gz, .bz2, .xz compressed) or an open binary file, a chunk of
    frames at a time: frames may come from a generator (iter_xyz of another
    file, say), and the whole text is never held. Comments must be single
    lines; symbols single fields."""
    write_data(file, _chunks(frames))


def _frames_of(read: XyzRead) -> list[Frame]:
    return [frame.to_frame() for frame in _split(read)]


def read_frames(file: Source, threads: int | None = None) -> list[Frame]:
    with open_all(file) as pieces:
        return [frame.to_frame() for run in _frames(pieces, label(file), None, resolve_threads(threads))
                for frame in run]


def iread_frames(file: Source, threads: int | None = None) -> Iterator[Frame]:
    with open_pieces(file) as pieces:
        for run in _frames(pieces, label(file), BATCH_BYTES, resolve_threads(threads)):
            for frame in run:
                yield frame.to_frame()


class _XyzTrajectory(Trajectory):
    def __init__(self, file: Source, threads: int | None) -> None:
        super().__init__("xyz")
        self._file = XyzFile(file, threads=threads)

    def __len__(self) -> int:
        return len(self._file)

    def _frame(self, k: int) -> Frame:
        return self._file[k].to_frame()

    def _frames(self, start: int, stop: int) -> list[Frame]:
        return [frame for read in self._file._reads_of(start, stop) for frame in _frames_of(read)]

    def _iterate(self) -> Iterator[Frame]:
        if self._file._compressed:
            yield from iread_frames(self._file._path or "", self._file._threads)
            return
        for start, stop in chunks(self._file._table):
            yield from self._frames(start, stop)

    def infos(self) -> FrameInfos:
        if self._file._compressed:
            return super().infos()
        return FrameInfos(self._file.natoms, [{"comment": comment} for comment in self._file.comments()])

    def batch(self, start: int = 0, stop: int | None = None) -> Batch:
        first, last, _ = slice(start, stop).indices(len(self))
        self._check_open()
        reads = list(self._file._reads_of(first, max(first, last)))
        if not reads:
            return Batch(np.zeros(0, np.int64), np.zeros((0, 3)), False, [], None, np.zeros((0, 3), bool))
        natoms = np.concatenate([read[3] for read in reads])
        positions = np.concatenate([read[2] for read in reads]) if len(reads) != 1 else reads[0][2]
        return Batch(natoms, positions, False, [symbol for read in reads for symbol in read[1]], None,
                     np.zeros((len(natoms), 3), dtype=np.bool_), {},
                     [{"comment": comment} for read in reads for comment in read[0]])

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        return self._file.to_dask(frames_per_chunk)

    def _close(self) -> None:
        self._file.close()


def open_frames(file: Source, threads: int | None = None) -> Trajectory:
    return _XyzTrajectory(file, threads)


def write_frames(file: Target, frames: Iterable[Frame], decimals: int | None = None) -> int:
    """Writes frames as plain XYZ as they come: symbols, Cartesian positions
    and the comment line."""
    written = 0

    def converted() -> Iterator[XyzFrame]:
        nonlocal written
        for frame in frames:
            yield XyzFrame.from_frame(frame)
            written += 1

    write_xyz(file, converted())
    return written
