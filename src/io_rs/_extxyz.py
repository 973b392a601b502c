"""Extended XYZ files: XYZ frames whose comment line holds key=value pairs.

    atom count                (one whole number)
    Lattice="..." Properties=species:S:1:pos:R:3 energy=-1.5 pbc="T T T"
    one line per atom, its fields as Properties says

The comment line and the atom columns are read in C++ (_io_rs_buffers), a run
of frames that share their columns at a time; this module cuts the runs into
frames. Blank lines may end the file, nowhere else.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from itertools import accumulate

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

from ._files import FormatError, FrameFile, Pieces, Source, Target, Text, label, open_data, write_data

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


ExtxyzRead = tuple[list[dict[str, object]], NDArray[np.int64], list[NDArray[np.float64] | None],
                   list[NDArray[np.bool_]], list[tuple[str, NDArray[np.generic]]], int]


def _newlines(text: Text, start: int, stop: int) -> int:
    """The line ends in bytes [start, stop) of a file's bytes or its map."""
    return int(np.count_nonzero(np.frombuffer(text.data, np.uint8, stop - start, start) == 10))


def _split(read: ExtxyzRead) -> list[ExtxyzFrame]:
    """The frames of one read_extxyz_frames call: views of its columns."""
    infos, counts, cells, pbcs, columns, _ = read
    if len(infos) == 1:
        return [ExtxyzFrame(int(counts[0]), infos[0], dict(columns), cells[0], pbcs[0])]
    bounds = [0, *accumulate(counts.tolist())]
    return [ExtxyzFrame(stop - start, info, {name: array[start:stop] for name, array in columns}, cell, pbc)
            for info, start, stop, cell, pbc in zip(infos, bounds, bounds[1:], cells, pbcs)]


def _frames(text: Text, batch: int | None) -> Iterator[list[ExtxyzFrame]]:
    """The frames, a run of frames with the same columns at a time (at most
    `batch` frames a run). Places in messages are the file's: the reader is
    told the line and frame where each call starts."""
    pos, line, before = 0, 1, 0
    while pos < len(text.data):
        read = text.call(_io_rs_buffers.read_extxyz_frames, text.data, pos, batch, (0, line, before))
        if not len(read[0]):
            return
        frames = _split(read)
        yield frames
        before += len(frames)
        line += _newlines(text, pos, read[5])
        pos = read[5]


def read_extxyz(file: Source) -> list[ExtxyzFrame]:
    """Reads every frame of an extended XYZ file: a path (.gz, .bz2, .xz
    decompressed) or an open binary file. A malformed file raises
    FormatError (a ValueError) naming the file and the line."""
    with open_data(file) as data:
        return [frame for run in _frames(Text(data, _KIND, label(file)), None) for frame in run]


def iter_extxyz(file: Source) -> Iterator[ExtxyzFrame]:
    """Reads an extended XYZ file one frame at a time (the file stays open
    until the iteration ends or the iterator is closed)."""
    with open_data(file) as data:
        for run in _frames(Text(data, _KIND, label(file)), 1):
            yield from run


class ExtxyzFile(FrameFile[ExtxyzFrame]):
    """An extended XYZ file held open for random access: ``len(f)``, ``f[k]``
    (frame k read alone through the frame table), iteration and ``with``."""

    def __init__(self, file: Source) -> None:
        super().__init__(file, _KIND)

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
            raise FormatError(f"{_KIND} {self._name}, line {line}: expected {expected}, got ''", file=self._name,
                              format=_KIND, problem=f"expected {expected}, got ''", line=line,
                              byte=int(table[k, 5]), expected=expected, found="''")
        return table

    def _read(self, text: Text, start: int, k: int) -> ExtxyzFrame:
        offset, line = int(self._table[k, 0]), int(self._table[k, 1])
        return _split(text.call(_io_rs_buffers.read_extxyz_frames, text.data, offset - start, 1, (start, line, k)))[0]

    def _iterate(self) -> Iterator[ExtxyzFrame]:
        assert self._path is not None
        yield from iter_extxyz(self._path)


def open_extxyz(file: Source) -> ExtxyzFile:
    """Opens an extended XYZ file for random access; the same as ExtxyzFile(file)."""
    return ExtxyzFile(file)


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


def format_extxyz(frames: ExtxyzFrame | Iterable[ExtxyzFrame], *, decimals: int | None = None) -> bytes:
    """The bytes of an extended XYZ file, as write_extxyz writes them."""
    frames = [frames] if isinstance(frames, ExtxyzFrame) else list(frames)
    out: list[bytes] = []
    start = 0
    # Runs of frames with the same column names, types and widths: one call each.
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
        out.append(_io_rs_buffers.format_extxyz_frames(
            infos, merged, [frame.natoms for frame in chunk], [frame.cell for frame in chunk],
            [frame.pbc for frame in chunk], decimals))
        start = stop
    return b"".join(out)


def write_extxyz(file: Target, frames: ExtxyzFrame | Iterable[ExtxyzFrame], *, decimals: int | None = None) -> None:
    """Writes extended XYZ frames (one or an iterable) to a path (.gz, .bz2,
    .xz compressed) or an open binary file. Reals are written so that they
    read back bit-identical, or with `decimals` decimals for the atom columns."""
    write_data(file, format_extxyz(frames, decimals=decimals))
