"""Extended XYZ files: XYZ frames whose comment line holds key=value pairs.

    atom count                (one whole number)
    Lattice="..." Properties=species:S:1:pos:R:3 energy=-1.5 pbc="T T T"
    one line per atom, its fields as Properties says

The comment line and the atom columns are read in C++ (_io_rs_buffers), a run
of frames that share their columns at a time, on threads; this module cuts the
runs into frames. Blank lines may end the file, nowhere else.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from itertools import accumulate, groupby
from typing import TYPE_CHECKING, cast

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

if TYPE_CHECKING:
    import dask.array

from ._dask import frames_array
from ._files import (BATCH_BYTES, FormatError, FrameFile, Pieces, Source, Target, Text, batches, chunks, format_error,
                     label, open_all, open_pieces, read_range, resolve_threads, runs, writing)
from ._frame import Frame
from ._trajectory import Batch, FrameInfos, Trajectory

_KIND = "extended XYZ"


@dataclass(eq=False, slots=True)
class ExtxyzFrame:
    """One frame of an extended XYZ file."""

    #: The number of atoms.
    natoms: int
    #: The comment line's pairs in order, without Lattice, Properties and pbc:
    #: int, float, bool, str or NumPy arrays. A plain comment is {"comment": line}.
    info: dict[str, object] = field(default_factory=dict)
    #: The atom columns named as in Properties, in order: shape (N,) or (N, m).
    arrays: dict[str, NDArray[np.generic]] = field(default_factory=dict)
    #: The cell, rows a, b, c; None without Lattice.
    cell: NDArray[np.float64] | None = None
    #: Periodicity along a, b, c.
    pbc: NDArray[np.bool_] = field(default_factory=lambda: np.zeros(3, dtype=bool))

    def to_frame(self) -> Frame:
        """The frame as a Frame: symbols from the species column (None
        without one), Cartesian positions from pos, the other columns as
        arrays, info, cell and pbc as they are."""
        arrays = dict(self.arrays)
        positions = arrays.pop("pos", None)
        if positions is None or positions.dtype != np.float64 or positions.shape[1:] != (3,):
            raise ValueError("an extended XYZ frame without a pos column (R:3) has no positions")
        species = arrays.get("species")
        symbols = None
        if species is not None and species.dtype.kind == "U" and species.ndim == 1:
            symbols = species.tolist()
            del arrays["species"]
        return Frame._make(symbols, positions.astype(np.float64, copy=False), False, self.cell, self.pbc, self.info,
                           arrays)

    @classmethod
    def from_frame(cls, frame: Frame) -> ExtxyzFrame:
        """An extended XYZ frame of a frame: species (where it has symbols) and
        Cartesian pos first, then its arrays; info, cell and pbc (all false
        without a cell)."""
        for name in ("species", "pos"):
            if name in frame.arrays:
                raise ValueError(f"the frame's arrays hold {name!r}, which extended XYZ writes from its "
                                 f"{'symbols' if name == 'species' else 'positions'}")
        arrays: dict[str, NDArray[np.generic]] = {}
        if frame.symbols is not None:
            arrays["species"] = np.array(frame.symbols, dtype=str)
        arrays["pos"] = frame.cartesian_positions()
        arrays.update(frame.arrays)
        pbc = frame.pbc if frame.cell is not None else np.zeros(3, dtype=bool)
        return cls(frame.natoms, frame.info, arrays, frame.cell, pbc)


ExtxyzRead = tuple[list[dict[str, object]], NDArray[np.int64], list[NDArray[np.float64] | None],
                   NDArray[np.bool_], list[tuple[str, NDArray[np.generic]]], int]


def _split(read: ExtxyzRead) -> list[ExtxyzFrame]:
    """The frames of one read_extxyz_frames call: views of its columns."""
    infos, counts, cells, pbcs, columns, _ = read
    if len(infos) == 1:
        return [ExtxyzFrame(int(counts[0]), infos[0], dict(columns), cells[0], pbcs[0])]
    bounds = [0, *accumulate(counts.tolist())]
    return [ExtxyzFrame(stop - start, info, {name: array[start:stop] for name, array in columns}, cell, pbc)
            for info, start, stop, cell, pbc in zip(infos, bounds, bounds[1:], cells, pbcs)]


def _read_on(text: Text, start: int, pos: int, line: int, before: int, batch: int | None,
             threads: int) -> Iterator[ExtxyzRead]:
    """The frames of text (the file's bytes from byte start) from offset pos,
    the rest of the file, a run with the same columns at a time (about
    `batch` bytes of frames a run when given). Places in messages are the
    file's: the reader is told the line and frame where each call starts,
    each frame being its count line, its comment line and its atom lines."""
    frames_a_call = None if batch is None else 16
    while pos < len(text.data):
        read = text.call(_io_rs_buffers.read_extxyz_frames, text.data, pos, frames_a_call, (start, line, before),
                         threads=threads)
        counts = read[1]
        if not len(counts):
            return
        yield read
        before += len(counts)
        line += int(counts.sum()) + 2 * len(counts)
        if batch is not None:
            frames_a_call = max(1, batch * len(counts) // max(1, read[5] - pos))
        pos = read[5]


def _frames(pieces: Pieces, name: str, batch: int | None, threads: int) -> Iterator[list[ExtxyzFrame]]:
    """The frames of _reads, a run at a time."""
    return map(_split, _reads(pieces, name, batch, threads))


def _reads(pieces: Pieces, name: str, batch: int | None, threads: int) -> Iterator[ExtxyzRead]:
    """The frames, a reader call at a time, read a window at a time: the whole frames of a window are
    found by the XYZ scanner and read by runs; the last window, which holds
    the end of the file, is read to its end. A window that the scanner
    refuses, or whose frames have blank lines between them, is read as far as
    the reader goes: it fails at the same line as when the file is read whole."""
    line, before, end = 1, 0, 0  # at the file's byte end, after the frames read
    while True:
        text = Text(pieces.data, _KIND, name)
        if pieces.last:
            yield from _read_on(text, pieces.start, end - pieces.start, line, before, batch, threads)
            return
        try:
            table, _ = _io_rs_buffers.scan_xyz_frames(pieces.data, 0, (pieces.start, line, before), False)
        except ValueError as error:
            if getattr(error, "format", None) is None:
                raise
            table, refused = None, error
        rows = table if table is not None else np.zeros((0, 6), np.int64)
        # The frames that follow each other directly from end.
        starts = np.concatenate([[end], rows[:-1, 5]]) if len(rows) else rows[:, 0]
        gaps = np.flatnonzero(rows[:, 0] != starts)
        good = int(gaps[0]) if len(gaps) else len(rows)
        for first, stop in runs(rows[:good], batch):
            while first < stop:
                read = text.call(_io_rs_buffers.read_extxyz_frames, pieces.data, int(rows[first, 0]) - pieces.start,
                                 stop - first, (pieces.start, int(rows[first, 1]), before + first), threads=threads)
                if not len(read[1]):
                    raise AssertionError(f"no frame read where the scanner found frame {before + first + 1}")
                yield read
                first += len(read[1])
        if good:
            before += good
            end = int(rows[good - 1, 5])
            line = int(rows[good - 1, 1]) + int(rows[good - 1, 2]) + 2
        if table is None or good < len(rows):
            yield from _read_on(text, pieces.start, end - pieces.start, line, before, batch, threads)
            if table is None:
                raise format_error(refused, name)
            raise AssertionError("blank lines between frames read without an error")
        # Blank lines after the last whole frame stay in the window, so that
        # the next window checks what follows them.
        pieces.advance(end - pieces.start)


def read_extxyz(file: Source, *, threads: int | None = None) -> list[ExtxyzFrame]:
    """Reads every frame of an extended XYZ file: a path (.gz, .bz2, .xz
    decompressed) or an open binary file. A malformed file raises
    FormatError (a ValueError) naming the file and the line. The atom lines
    are read on `threads` threads (by default IO_RS_NUM_THREADS, else every
    core)."""
    with open_all(file) as pieces:
        return [frame for run in _frames(pieces, label(file), None, resolve_threads(threads))
                for frame in run]


def iter_extxyz(file: Source, *, threads: int | None = None) -> Iterator[ExtxyzFrame]:
    """Reads an extended XYZ file one frame at a time. A compressed file or
    an open stream is read a window of a few MB at a time, never whole; the
    file stays open until the iteration ends or the iterator is closed."""
    with open_pieces(file) as pieces:
        for run in _frames(pieces, label(file), BATCH_BYTES, resolve_threads(threads)):
            yield from run


class ExtxyzFile(FrameFile[ExtxyzFrame]):
    """An extended XYZ file held open for random access: ``len(f)``, ``f[k]``
    (frame k read alone through the frame table), iteration and ``with``."""

    def __init__(self, file: Source, *, threads: int | None = None) -> None:
        super().__init__(file, _KIND, threads)

    @property
    def _kind(self) -> str:
        return _KIND

    def _index(self, pieces: Pieces) -> NDArray[np.int64]:
        tables, line, before = [], 1, 0
        while True:
            table, (consumed, line, complete) = Text(pieces.data, _KIND, self._name).call(
                _io_rs_buffers.scan_xyz_frames, pieces.data, 0, (pieces.start, line, before), pieces.last)
            tables.append(table)
            before += len(table)
            if complete:
                break
            pieces.advance(consumed)
        table = np.concatenate(tables)
        # The XYZ scanner passes over blank lines between frames; extended XYZ
        # allows them only at the end of the file.
        gaps = np.flatnonzero(table[1:, 0] != table[:-1, 5])
        if len(gaps):
            k = int(gaps[0])
            line = int(table[k, 1]) + int(table[k, 2]) + 2
            expected = "an atom count (one whole number)"
            raise FormatError(f"{_KIND} {self._name}, line {line}: expected {expected}, got ''", file=self._name.path,
                              format=_KIND, problem=f"expected {expected}, got ''", line=line,
                              byte=int(table[k, 5]), expected=expected, found="''")
        return table

    def _read(self, text: Text, start: int, k: int) -> ExtxyzFrame:
        offset, line = int(self._table[k, 0]), int(self._table[k, 1])
        return _split(text.call(_io_rs_buffers.read_extxyz_frames, text.data, offset - start, 1, (start, line, k),
                                threads=self._threads))[0]

    def _iterate(self) -> Iterator[ExtxyzFrame]:
        assert self._path is not None
        yield from iter_extxyz(self._path, threads=self._threads)

    def _read_chunk(self, start: int, stop: int) -> list[ExtxyzFrame]:
        return [frame for read in self._reads_of(start, stop) for frame in _split(read)]

    def _reads_of(self, start: int, stop: int) -> Iterator[ExtxyzRead]:
        """Frames start to stop in as few calls as their runs (frames of the
        same columns) need."""
        if start >= stop:
            return
        text, base = self._text_for(start, stop)
        rows = self._table[start:stop]
        for first, last in runs(rows):
            while first < last:
                offset, line = int(rows[first, 0]), int(rows[first, 1])
                read = text.call(_io_rs_buffers.read_extxyz_frames, text.data, offset - base, last - first,
                                 (base, line, start + first), threads=self._threads)
                if not len(read[0]):
                    raise AssertionError(f"no frame read where the scanner found frame {start + first + 1}")
                yield read
                first += len(read[0])

    def comment_infos(self) -> list[dict[str, object]]:
        """Every frame's info from its comment line, without reading atom lines."""
        if not len(self._table):
            return []
        text, base = self._text_for(0, len(self._table))
        data = text.data
        assert not isinstance(data, memoryview)  # an open file's: its map or bytes, never a window
        found: list[dict[str, object]] = []
        for k, (offset, line) in enumerate(self._table[:, :2].tolist()):
            start = data.find(b"\n", offset - base) + 1
            stop = data.find(b"\n", start)
            comment = bytes(data[start:stop if stop >= 0 else len(data)]).removesuffix(b"\r")
            try:
                info, _, _, _, plain = _io_rs_buffers.parse_extxyz_comment(comment.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                # The reader names the place and the problem.
                self._read(text, base, k)
                raise
            found.append(info)
        return found

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every frame's pos column as a Dask array, frames x atoms x 3, in
        chunks of frames_per_chunk frames that the tasks of a Dask computation
        read from the file's path when they need them. Every frame must hold
        the same number of atoms."""
        return frames_array(self._path, self._table, None, frames_per_chunk, read_frame_rows)


def read_frame_rows(path: str, rows: NDArray[np.int64], first: int) -> NDArray[np.float64]:
    """The pos column of some consecutive rows of an extended XYZ file's
    frame table, read from its path: what to_dask's tasks run."""
    start, stop = int(rows[0, 0]), int(rows[-1, 5])
    data = read_range(path, start, stop)
    text = Text(data, _KIND, label(path))
    parts = []
    for begin, end in runs(rows):
        while begin < end:
            offset, line = int(rows[begin, 0]), int(rows[begin, 1])
            _, counts, _, _, columns, _ = text.call(_io_rs_buffers.read_extxyz_frames, data, offset - start,
                                                    end - begin, (start, line, first + begin), threads=1)
            pos = dict(columns).get("pos")
            if pos is None or pos.dtype != np.float64 or pos.shape[1:] != (3,):
                raise ValueError(f"to_dask reads the pos column (R:3); frame {first + begin + 1} of {path!r} has none")
            parts.append(pos)
            begin += len(counts)
    return np.concatenate(parts).reshape(len(rows), -1, 3)


def open_extxyz(file: Source, *, threads: int | None = None) -> ExtxyzFile:
    """Opens an extended XYZ file for random access; the same as ExtxyzFile(file)."""
    return ExtxyzFile(file, threads=threads)


def _column(name: str, values: object) -> NDArray[np.generic]:
    array = np.asarray(values)
    kind = array.dtype.kind
    dtype = {"f": np.float64, "i": np.int64, "u": np.int64, "b": np.bool_}.get(kind)
    if dtype is not None:
        return np.ascontiguousarray(array, dtype=dtype)
    if kind in "US":
        return np.ascontiguousarray(array.astype(str))
    raise TypeError(f"array '{name}': cannot write dtype {array.dtype}")


def _info_value(value: object) -> object:
    if isinstance(value, (bool, int, float, str, np.ndarray)):
        return value
    if isinstance(value, np.generic):
        return value.item()
    return np.asarray(value)


_Call = tuple[list[dict[str, object]], list[tuple[str, NDArray[np.generic]]], list[int],
              list[NDArray[np.float64] | None], list[NDArray[np.bool_]]]


def _calls(frames: list[ExtxyzFrame]) -> Iterator[_Call]:
    """The arguments of format_extxyz_frames for runs of frames with the same
    column names, types and widths: one call each."""
    start = 0
    while start < len(frames):
        first = [(name, _column(name, values)) for name, values in frames[start].arrays.items()]
        shape = [(name, a.dtype.kind, a.shape[1:]) for name, a in first]
        run: list[list[tuple[str, NDArray[np.generic]]]] = [first]
        stop = start + 1
        while stop < len(frames):
            columns = [(name, _column(name, values)) for name, values in frames[stop].arrays.items()]
            if [(name, a.dtype.kind, a.shape[1:]) for name, a in columns] != shape:
                break
            run.append(columns)
            stop += 1
        chunk = frames[start:stop]
        for frame, columns in zip(chunk, run):
            if any(len(a) != frame.natoms for _, a in columns):
                raise ValueError(f"frame with natoms={frame.natoms}: every array must have natoms rows")
        merged = [(name, run[0][c][1] if len(run) == 1 else np.concatenate([cols[c][1] for cols in run]))
                  for c, (name, _) in enumerate(first)]
        infos = [{key: _info_value(value) for key, value in frame.info.items()} for frame in chunk]
        yield (infos, merged, [frame.natoms for frame in chunk], [frame.cell for frame in chunk],
               [frame.pbc for frame in chunk])
        start = stop


def _frame_layout(frame: Frame) -> tuple[bool, list[tuple[str, str, tuple[int, ...]]]]:
    """Whether a Frame has symbols, and its arrays' names, kinds and widths."""
    for name in ("species", "pos"):
        if name in frame.arrays:
            raise ValueError(f"the frame's arrays hold {name!r}, which extended XYZ writes from its "
                             f"{'symbols' if name == 'species' else 'positions'}")
    return frame.symbols is not None, [(name, np.asarray(values).dtype.kind, np.shape(values)[1:])
                                       for name, values in frame.arrays.items()]


def _frame_calls(frames: list[Frame]) -> Iterator[_Call]:
    """The arguments of format_extxyz_frames for runs of io_rs.Frames with
    the same columns: the text ExtxyzFrame.from_frame and _calls give, each
    column made once a run instead of once a frame."""
    start = 0
    while start < len(frames):
        layout = _frame_layout(frames[start])
        stop = start + 1
        while stop < len(frames) and _frame_layout(frames[stop]) == layout:
            stop += 1
        chunk = frames[start:stop]
        natoms = [frame.natoms for frame in chunk]
        columns: list[tuple[str, NDArray[np.generic]]] = []
        if layout[0]:
            columns.append(("species", np.array([symbol for frame in chunk for symbol in frame.symbols or ()],
                                                dtype=str)))
        columns.append(("pos", np.concatenate([frame.cartesian_positions() for frame in chunk])
                        if len(chunk) > 1 else chunk[0].cartesian_positions()))
        for name, _, _ in layout[1]:
            values = [frame.arrays[name] for frame in chunk]
            for frame, array in zip(chunk, values):
                if len(array) != frame.natoms:
                    raise ValueError(f"frame with natoms={frame.natoms}: every array must have natoms rows")
            columns.append((name, _column(name, np.concatenate(values) if len(values) > 1 else values[0])))
        infos = [{key: _info_value(value) for key, value in frame.info.items()} for frame in chunk]
        pbcs = [frame.pbc if frame.cell is not None else _NOT_PERIODIC for frame in chunk]
        yield infos, columns, natoms, [frame.cell for frame in chunk], pbcs
        start = stop


_NOT_PERIODIC = np.zeros(3, dtype=bool)
_NOT_PERIODIC.flags.writeable = False


def _listed(frames: ExtxyzFrame | Frame | Iterable[ExtxyzFrame | Frame]) -> Iterable[ExtxyzFrame | Frame]:
    return [frames] if isinstance(frames, (ExtxyzFrame, Frame)) else frames


def _mixed_calls(frames: list[ExtxyzFrame | Frame]) -> Iterator[_Call]:
    """The calls of _calls for the runs of ExtxyzFrames and of _frame_calls
    for the runs of Frames, in order."""
    for is_frame, run in groupby(frames, lambda frame: isinstance(frame, Frame)):
        if is_frame:
            yield from _frame_calls(cast(list[Frame], list(run)))
        else:
            yield from _calls(cast(list[ExtxyzFrame], list(run)))


def format_extxyz(frames: ExtxyzFrame | Frame | Iterable[ExtxyzFrame | Frame], *,
                  decimals: int | None = None) -> bytes:
    """The bytes of an extended XYZ file, as write_extxyz writes them."""
    return b"".join(_io_rs_buffers.format_extxyz_frames(*call, decimals)
                    for call in _mixed_calls(list(_listed(frames))))


def write_extxyz(file: Target, frames: ExtxyzFrame | Frame | Iterable[ExtxyzFrame | Frame], *,
                 decimals: int | None = None, threads: int | None = None) -> None:
    """Writes extended XYZ frames (one or an iterable; Frames as
    ExtxyzFrame.from_frame makes them) to a path (.gz, .bz2, .xz compressed)
    or an open binary file. Reals are written so that they read back
    bit-identical, or with `decimals` decimals for the atom columns. The
    text is formatted, and gzip compressed, on `threads` threads (by
    default IO_RS_NUM_THREADS, else every core)."""
    # A batch of frames at a time, its text handed on in pieces as it is made.
    count = resolve_threads(threads)
    with writing(file, count) as write:
        for batch in batches(_listed(frames), lambda frame: frame.natoms):
            for call in _mixed_calls(batch):
                _io_rs_buffers.format_extxyz_frames(*call, decimals, write=write, threads=count)


def _frames_of(read: ExtxyzRead) -> list[Frame]:
    """The frames of one read_extxyz_frames call as Frames (as
    ExtxyzFrame.to_frame makes them), made a run at a time: the columns
    checked once, the species made a list once, each frame views of them."""
    infos, counts, cells, pbcs, columns, _ = read
    arrays = dict(columns)
    positions = arrays.pop("pos", None)
    if positions is None or positions.dtype != np.float64 or positions.shape[1:] != (3,):
        raise ValueError("an extended XYZ frame without a pos column (R:3) has no positions")
    species = arrays.get("species")
    symbols: list[str] | None = None
    if species is not None and species.dtype.kind == "U" and species.ndim == 1:
        symbols = species.tolist()
        del arrays["species"]
    pos = positions.astype(np.float64, copy=False)
    if len(counts) == 1:
        return [Frame._make(symbols, pos, False, cells[0], pbcs[0], infos[0], arrays)]
    bounds = [0, *accumulate(counts.tolist())]
    return [Frame._make(None if symbols is None else symbols[start:stop], pos[start:stop], False, cell, pbc, info,
                        {name: array[start:stop] for name, array in arrays.items()})
            for info, start, stop, cell, pbc in zip(infos, bounds, bounds[1:], cells, pbcs)]


def read_frames(file: Source, threads: int | None = None) -> list[Frame]:
    with open_all(file) as pieces:
        return [frame for read in _reads(pieces, label(file), None, resolve_threads(threads))
                for frame in _frames_of(read)]


def iread_frames(file: Source, threads: int | None = None) -> Iterator[Frame]:
    with open_pieces(file) as pieces:
        for read in _reads(pieces, label(file), BATCH_BYTES, resolve_threads(threads)):
            yield from _frames_of(read)


class _ExtxyzTrajectory(Trajectory):
    def __init__(self, file: Source, threads: int | None) -> None:
        super().__init__("extxyz")
        self._file = ExtxyzFile(file, threads=threads)

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
        self._check_open()
        if self._file._compressed:
            return super().infos()
        return FrameInfos(self._file._table[:, 2].copy(), self._file.comment_infos())

    def batch(self, start: int = 0, stop: int | None = None) -> Batch:
        first, last, _ = slice(start, stop).indices(len(self))
        self._check_open()
        reads = list(self._file._reads_of(first, max(first, last)))
        if not reads:
            return Batch(np.zeros(0, np.int64), np.zeros((0, 3)), False, None, None, np.zeros((0, 3), bool))
        names = [name for name, _ in reads[0][4]]
        for read in reads[1:]:
            if [name for name, _ in read[4]] != names:
                raise ValueError(f"frames of a batch must have the same columns: {names} and "
                                 f"{[name for name, _ in read[4]]}")
        columns = {name: np.concatenate([dict(read[4])[name] for read in reads]) if len(reads) > 1 else array
                   for name, array in reads[0][4]}
        if "pos" not in columns:
            raise ValueError("an extended XYZ frame without a pos column (R:3) has no positions")
        positions = columns.pop("pos").astype(np.float64, copy=False)
        species = columns.get("species")
        if species is not None and species.dtype.kind == "U" and species.ndim == 1:
            del columns["species"]
        else:
            species = None
        cells_list = [cell for read in reads for cell in read[2]]
        cells = None
        if any(cell is not None for cell in cells_list):
            cells = np.stack([cell if cell is not None else np.full((3, 3), np.nan) for cell in cells_list])
        return Batch(np.concatenate([read[1] for read in reads]), positions, False,
                     None if species is None else species.tolist(), cells,
                     np.concatenate([read[3] for read in reads]), columns,
                     [info for read in reads for info in read[0]])

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        return self._file.to_dask(frames_per_chunk)

    def _close(self) -> None:
        self._file.close()


def open_frames(file: Source, threads: int | None = None) -> Trajectory:
    return _ExtxyzTrajectory(file, threads)


def write_frames(file: Target, frames: Iterable[Frame], decimals: int | None = None) -> int:
    """Writes frames as extended XYZ as they come, a batch at a time."""
    written = 0

    def counted() -> Iterator[Frame]:
        nonlocal written
        for frame in frames:
            yield frame
            written += 1

    write_extxyz(file, counted(), decimals=decimals)
    return written
