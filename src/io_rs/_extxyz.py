"""Extended XYZ files: XYZ frames whose comment line holds key=value pairs.

    atom count                (one whole number)
    Lattice="..." Properties=species:S:1:pos:R:3 energy=-1.5 pbc="T T T"
    one line per atom, its fields as Properties says

The comment line and the atom columns are read in C++ (_io_rs_buffers), a run
of frames that share their columns at a time; this module cuts the runs into
frames. Blank lines may end the file, nowhere else.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from itertools import accumulate

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

from ._files import FrameFile, Source, Target, Text, label, open_data, write_data

_FRAME_NUMBER = re.compile(r"\bframe (\d+)")
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


def _read(text: Text, pos: int, max_frames: int | None, before: int) -> ExtxyzRead:
    try:
        return _io_rs_buffers.read_extxyz_frames(text.data, pos, max_frames)
    except ValueError as error:
        message = _FRAME_NUMBER.sub(lambda m: f"frame {int(m[1]) + before}", str(error), count=1)
        raise text.reworded(message) from None


def _split(read: ExtxyzRead) -> list[ExtxyzFrame]:
    infos, counts, cells, pbcs, columns, _ = read
    if len(infos) == 1:
        return [ExtxyzFrame(int(counts[0]), infos[0], dict(columns), cells[0], pbcs[0])]
    bounds = [0, *accumulate(counts.tolist())]
    return [ExtxyzFrame(stop - start, info, {name: array[start:stop] for name, array in columns}, cell, pbc)
            for info, start, stop, cell, pbc in zip(infos, bounds, bounds[1:], cells, pbcs)]


def _frames(text: Text, batch: int | None) -> Iterator[list[ExtxyzFrame]]:
    pos, before = 0, 0
    while pos < text.size:
        read = _read(text, pos, batch, before)
        if len(read[0]):
            frames = _split(read)
            yield frames
            before += len(frames)
        pos = read[5]


def read_extxyz(file: Source) -> list[ExtxyzFrame]:
    """Reads every frame of an extended XYZ file: a path (.gz, .bz2, .xz
    decompressed), an open binary file. A malformed file raises ValueError
    naming the file and the line."""
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

    def _index(self, text: Text) -> NDArray[np.int64]:
        try:
            table, (consumed, _, _) = _io_rs_buffers.scan_xyz_frames(text.data)
        except ValueError as error:
            raise text.reworded(str(error).replace("XYZ: ", "", 1)) from None
        offsets = np.ascontiguousarray(table[:, 0])
        # Frames follow each other; blank lines may only end the file.
        gaps = np.flatnonzero(table[1:, 0] != table[:-1, 5])
        rest = int(table[-1, 5]) if len(table) else 0
        if len(gaps) or text.data[rest:].strip(b" \t\r\n\f"):
            at = int(table[gaps[0], 5]) if len(gaps) else rest
            raise text.expected(at, "an atom count (one whole number)", text.line(at)[0])
        return offsets

    def _read(self, text: Text, k: int) -> ExtxyzFrame:
        return _split(_read(text, int(self._offsets[k]), 1, k))[0]


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
