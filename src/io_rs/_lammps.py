"""LAMMPS text dumps, styles atom and custom.

    ITEM: TIMESTEP                      (ITEM: UNITS, ITEM: TIME and sections
    100                                  of other names may come first)
    ITEM: NUMBER OF ATOMS
    2
    ITEM: BOX BOUNDS xy xz yz pp pp pp  (orthogonal: no tilts, two numbers a line)
    0.0 10.0 1.5
    0.0 10.0 0.0
    0.0 10.0 0.0
    ITEM: ATOMS id type x y z vx vy vz
    1 1 0.0 0.0 0.0 0.1 0.2 0.3
    2 1 5.0 5.0 5.0 0.1 0.2 0.3

Headers and atom lines are read in C++ (_io_rs_buffers), a run of frames that
name the same columns at a time, on threads; one scan makes the frame table of
a file held open. Each frame's ATOMS line rules that frame: frames may differ in
atom count, in the order of their columns and in which coordinates they carry.
"""

from __future__ import annotations

import functools
import os
import re
import warnings
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from itertools import accumulate
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

if TYPE_CHECKING:
    import dask.array

from ._dask import frames_array
from ._files import (CHUNK_BYTES, Data, FormatError, Pieces, Ranges, Source, Target, Text, TruncatedWarning,
                     batches, compression_of, label, open_all, open_data, open_pieces, read_range, resolve_threads, runs,
                     writing)
from ._frame import Frame, cell_origin
from ._trajectory import FrameInfos, Trajectory

_KIND = "LAMMPS dump"

# What one reader call returns, and the headers of its frames (or a scan's).
Heads = tuple[NDArray[np.int64], list[tuple[str, ...]], NDArray[np.float64], NDArray[np.bool_], NDArray[np.uint8],
              list[tuple[int, str, str]]]
Outputs = list[tuple[str, Any, tuple[str, ...]]]
Cut = tuple[int, int, int, str]
DumpRead = tuple[Heads, Outputs, tuple[int, int], Cut | None]

#: The names io_rs gives the kinds of box (kinds in a scan's heads: 0, 1, 2).
BOX_KINDS = ("orthogonal", "triclinic", "abc origin")
# The columns positions come from, the first whole one a frame has; the
# scaled ones are fractional coordinates of the box.
_COORDINATES = (("x", "y", "z"), ("xu", "yu", "zu"), ("xs", "ys", "zs"), ("xsu", "ysu", "zsu"))
_FRACTIONAL = {("xs", "ys", "zs"), ("xsu", "ysu", "zsu")}
_WHOLE = re.compile(r"[+-]?[0-9]+")
_REAL = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)", re.IGNORECASE)
# Type numbers, or type labels, to symbols.
TypeMap = Mapping[int, str] | Mapping[str, str] | Mapping[int | str, str]


def _section_value(text: str) -> int | float | str:
    """A section's text as the value it spells: a whole number, a real, or
    the text itself."""
    if _WHOLE.fullmatch(text):
        return int(text)
    if _REAL.fullmatch(text):
        return float(text)
    return text


def _infos(heads: Heads, before: int = 0) -> list[dict[str, Any]]:
    """Each frame's info: its timestep, its sections (time, units, others by
    name) and the origin of its box."""
    table, _, boxes, _, _, sections = heads
    infos: list[dict[str, Any]] = [{"timestep": step} for step in table[:, 4].tolist()]
    for k, name, text in sections:
        if name == "TIME":
            infos[k]["time"] = float(text)
        elif name == "UNITS":
            infos[k]["units"] = text
        else:
            infos[k][name] = _section_value(text)
    for info, origin in zip(infos, boxes[:, 3]):
        info["origin"] = origin
    return infos


def _symbols_of_types(types: NDArray[Any], type_map: TypeMap, where: str) -> list[str]:
    """The symbols type_map gives the types (numbers or labels), one per atom."""
    if not len(types):
        return []
    lookup: dict[int | str, str] = {key: value for key, value in type_map.items()}
    if types.dtype.kind == "U":
        labels = types.tolist()
        missing = next((t for t in dict.fromkeys(labels) if t not in lookup), None)
        if missing is not None:
            raise ValueError(f"type_map has no symbol for type {missing!r} ({where})")
        return [lookup[t] for t in labels]
    numbers = {key: value for key, value in lookup.items() if isinstance(key, int)}
    names = list(numbers.values())
    low, high = int(types.min()), int(types.max())
    if high - low > 1 << 20:
        missing_number = next((t for t in types.tolist() if t not in numbers), None)
        if missing_number is not None:
            raise ValueError(f"type_map has no symbol for type {missing_number} ({where})")
        return [numbers[t] for t in types.tolist()]
    table = np.full(high - low + 1, -1, dtype=np.int64)
    for k, key in enumerate(numbers):
        if low <= key <= high:
            table[key - low] = k
    index = table[types - low]
    if (index < 0).any():
        raise ValueError(f"type_map has no symbol for type {int(types[index < 0][0])} ({where})")
    return np.array(names, dtype=object)[index].tolist()  # type: ignore[no-any-return]


def _frames_of(read: DumpRead, type_map: TypeMap | None, name: str = "") -> list[Frame]:
    """The frames of one read_lammps_dump_frames call: views of its arrays."""
    heads, outputs, _, _ = read
    table, _, boxes, pbcs, _, _ = heads
    counts = table[:, 2]
    positions: NDArray[np.float64] | None = None
    fractional = False
    symbols: list[str] | None = None
    arrays: dict[str, NDArray[Any]] = {}
    for output, values, sources in outputs:
        if output == "positions" and sources in _COORDINATES and positions is None:
            positions, fractional = values, sources in _FRACTIONAL
        elif output == "element" and isinstance(values, list):
            symbols = values
        elif isinstance(values, list):  # type labels
            arrays[output] = np.array(values, dtype=str)
        else:
            arrays[output] = values
    assert positions is not None  # the reader refuses columns without coordinates
    if symbols is None and type_map is not None:
        types = arrays.get("type")
        if types is None:
            raise ValueError(f"type_map needs a type column, and the frame at line {int(table[0, 1])} of {name} "
                             f"has none")
        symbols = _symbols_of_types(types, type_map, f"{name}, from the frame at line {int(table[0, 1])}")
    infos = _infos(heads)
    cells = boxes[:, :3]
    if len(table) == 1:
        return [Frame._make(symbols, positions, fractional, cells[0], pbcs[0], infos[0], arrays)]
    bounds = [0, *accumulate(counts.tolist())]
    return [Frame._make(None if symbols is None else symbols[start:stop], positions[start:stop], fractional, cells[k],
                        pbcs[k], infos[k], {key: array[start:stop] for key, array in arrays.items()})
            for k, (start, stop) in enumerate(zip(bounds, bounds[1:]))]


def _warn_cut(cut: Cut, name: str, before: int, timestep: int | None) -> None:
    frame, line, _, problem = cut
    read = (f"the {before} complete frame{'s are' if before != 1 else ' is'} read"
            + (f", the last at timestep {timestep}" if timestep is not None else "") if before else
            "no frame is complete")
    warnings.warn(f"{_KIND} {name}: {problem} (the frame starts at line {line} of the file): the file was cut short "
                  f"there; {read}", TruncatedWarning, stacklevel=4)


def _read_on(text: Text, start: int, pos: int, line: int, before: int, batch: int | None, threads: int,
             sort: bool, timestep: int | None = None) -> Iterator[DumpRead]:
    """The reads of text (the file's bytes from byte start) from offset pos to
    its end, which is the file's: a run of frames with the same columns at a
    time, at most `batch` frames a run. A file that ends inside a frame
    gives every frame before it, and a TruncatedWarning (naming the
    timestep of the last whole frame, given for frames read before)."""
    while True:
        read: DumpRead = text.call(_io_rs_buffers.read_lammps_dump_frames, text.data, pos, batch, (start, line, before),
                                   threads=threads, sort=sort)
        (table, *_), _, (end, end_line), cut = read
        if len(table):
            yield read
            timestep = int(table[-1, 4])
        before += len(table)
        if cut is not None:
            _warn_cut(cut, text.name, before, timestep)
            return
        if end >= len(text.data):
            return
        if not len(table):
            raise AssertionError(f"no frame read at byte {start + pos} of {text.name}")
        pos, line = end, end_line


def _scan(text: Text, base: tuple[int, int, int], last: bool) -> Any:
    """The scan of a window of the file (text, from base = (byte, line,
    frames before)). Where it fails in a frame's header, the window's frames
    before that one are read first, as a read of the whole file reads them:
    a failure among their atom lines, which the scan passes over, comes first
    in the file and is the one raised."""
    try:
        return text.call(_io_rs_buffers.scan_lammps_dump, text.data, 0, base, last)
    except FormatError as error:
        before = (error.frame or 1) - 1 - base[2]
        if before > 0:
            text.call(_io_rs_buffers.read_lammps_dump_frames, text.data, 0, before, base, threads=1, sort=False)
        raise


def _reads(pieces: Pieces, name: str, batch: int | None, threads: int, sort: bool) -> Iterator[DumpRead]:
    """Every run of frames, read a window at a time: the whole frames of a
    window are found by the scanner and read by runs; the last window, which
    holds the end of the file, is read to its end."""
    line, before, timestep = 1, 0, None
    while True:
        text = Text(pieces.data, _KIND, name)
        if pieces.last:
            yield from _read_on(text, pieces.start, 0, line, before, batch, threads, sort, timestep)
            return
        heads, (consumed, line_after, _), _ = _scan(text, (pieces.start, line, before), False)
        table = heads[0]
        for first, stop in runs(table, batch):
            while first < stop:
                read: DumpRead = text.call(_io_rs_buffers.read_lammps_dump_frames, pieces.data,
                                           int(table[first, 0]) - pieces.start, stop - first,
                                           (pieces.start, int(table[first, 1]), before + first), threads=threads,
                                           sort=sort)
                if not len(read[0][0]):
                    raise AssertionError(f"no frame read where the scanner found frame {before + first + 1}")
                yield read
                first += len(read[0][0])
        before += len(table)
        if len(table):
            timestep = int(table[-1, 4])
        line = line_after
        pieces.advance(consumed, 0 if consumed else _frame_bytes(pieces.data))


_ATOMS_COUNT = re.compile(rb"ITEM: NUMBER OF ATOMS[ \t\r]*\n[ \t]*(\d{1,18})[ \t\r]*\n")


def _frame_bytes(data: Data | memoryview) -> int:
    """How many bytes the frame at the window's start is likely to take,
    where the window holds only part of it: its atom count times the mean
    length of its first atom lines, and a little more; 0 where the window's
    start does not tell."""
    head = bytes(data[:1 << 16])
    count = _ATOMS_COUNT.search(head)
    atoms = head.find(b"ITEM: ATOMS", count.end() if count else len(head))
    start = head.find(b"\n", atoms) + 1 if atoms >= 0 else 0
    lines = head.count(b"\n", start) if start else 0
    if count is None or lines < 8:
        return 0
    per_line = (head.rfind(b"\n") + 1 - start) / lines
    return start + int(int(count.group(1)) * per_line * 1.02) + (1 << 16)


@contextmanager
def _windows(file: Source) -> Iterator[Pieces]:
    """A file read a window at a time, for the time of a with block: a path,
    plain or compressed, or an open binary stream. Plain files are read, not
    mapped, so that going through a large file holds a window of it, never
    every page it touched; a compressed file's next chunk is decompressed on
    a thread of its own while the window is read."""
    if not isinstance(file, (str, os.PathLike)):
        pieces = Pieces(file)
        pieces.advance(0)
        yield pieces
        return
    path = os.fspath(file)
    if compression_of(path):
        with open_pieces(path) as pieces:
            yield pieces
        return
    with open(path, "rb") as stream:
        pieces = Pieces(stream)
        try:
            pieces.advance(0)
            yield pieces
        finally:
            pieces.close()


def _type_map(type_map: TypeMap | None) -> TypeMap | None:
    """The map with its keys as type numbers, or as type labels where they
    are not whole numbers."""
    if type_map is None:
        return None
    checked: dict[int | str, str] = {}
    for key, value in type_map.items():
        try:
            checked[int(key)] = str(value)
        except ValueError:
            checked[str(key)] = str(value)
    return checked


def read_lammps_dump(file: Source, *, type_map: TypeMap | None = None, sort: bool = True,
                     threads: int | None = None) -> list[Frame]:
    """Reads every frame of a LAMMPS text dump (styles atom and custom): a
    path (.gz, .bz2, .xz decompressed) or an open binary file.

    Each frame holds positions from the first whole set of x y z, xu yu zu
    (Cartesian), xs ys zs or xsu ysu zsu (fractional of the box), the box
    as `cell` with its origin in info["origin"], pbc from the boundary
    flags, info["timestep"] (and "time", "units" and other sections where
    the file has them), and every other column in `arrays` (vx vy vz as
    "velocities", fx fy fz as "forces", NAME[1]..NAME[k] as one (N, k)
    "NAME"). Symbols come from an element column, else from type_map
    ({1: "Si", 2: "O"}); atoms are in the order of their ids unless
    sort=False. A malformed file raises FormatError naming the file, the
    line and the frame; a file cut short in its last frame gives every
    complete frame and a TruncatedWarning."""
    types = _type_map(type_map)
    name = label(file)
    threads = resolve_threads(threads)
    with open_all(file, threads) as pieces:
        return [frame for read in _reads(pieces, name, None, threads, sort)
                for frame in _frames_of(read, types, name)]


def iter_lammps_dump(file: Source, *, type_map: TypeMap | None = None, sort: bool = True,
                     threads: int | None = None) -> Iterator[Frame]:
    """Reads a LAMMPS dump one frame at a time, a window of a few MB of the
    file at a time (compressed or not), never whole."""
    types = _type_map(type_map)
    name = label(file)
    with _windows(file) as pieces:
        for read in _reads(pieces, name, None, resolve_threads(threads), sort):
            yield from _frames_of(read, types, name)


class LammpsDumpFile(Trajectory):
    """A LAMMPS dump held open for random access: ``len(t)``, ``t[k]`` (frame
    k read alone), slices, iteration, ``t.infos()`` and the box, columns and
    timesteps of every frame from the one scan, without reading atom lines;
    ``t.batch(a, b)`` (frames of the same columns) and ``t.to_dask()``
    where every frame has the same atoms. The file is scanned a window at a time and frames are read from
    it as they are asked for (a compressed file is decompressed up to them),
    so that going through a large file holds a window of it, never all."""

    def __init__(self, file: Source, *, type_map: TypeMap | None = None, sort: bool = True,
                 threads: int | None = None) -> None:
        super().__init__("lammps_dump")
        self._threads = resolve_threads(threads)
        self._sort = sort
        self._type_map = _type_map(type_map)
        self._path = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
        self._compressed = self._path is not None and bool(compression_of(self._path))
        self._name = label(file)
        #: What the scan found: the ATOMS lines' names (distinct, in order).
        self.column_sets: list[tuple[str, ...]] = []
        self.cut: Cut | None = None
        self._data: bytes | None = None
        self._ranges: list[Ranges] = []  # buffers of reads of frames not under way
        if self._path is None:
            # A stream has no path to read frames again from: it is held.
            with open_data(file) as data:
                self._data = bytes(data)
            self._scan(Pieces(None, self._data))
        else:
            with _windows(file) as pieces:
                self._scan(pieces)

    def _scan(self, pieces: Pieces) -> None:
        tables: list[NDArray[np.int64]] = []
        boxes: list[NDArray[np.float64]] = []
        pbcs: list[NDArray[np.bool_]] = []
        kinds: list[NDArray[np.uint8]] = []
        sections: list[tuple[int, str, str]] = []
        line, before = 1, 0
        while True:
            heads, (consumed, line, complete), cut = _scan(Text(pieces.data, _KIND, self._name),
                                                           (pieces.start, line, before), pieces.last)
            table, columns, box, pbc, kind, found = heads
            if len(table):
                index = np.array([self._columns_index(names) for names in columns], dtype=np.int64)
                table[:, 3] = index[table[:, 3]]
            tables.append(table)
            boxes.append(box)
            pbcs.append(pbc)
            kinds.append(kind)
            sections.extend((before + k, name, text) for k, name, text in found)
            before += len(table)
            if complete:
                self.cut = cut
                break
            pieces.advance(consumed, 0 if consumed else _frame_bytes(pieces.data))
        self._table = np.concatenate(tables)
        self._heads: Heads = (self._table, self.column_sets, np.concatenate(boxes), np.concatenate(pbcs),
                              np.concatenate(kinds), sections)
        if self.cut is not None:
            last = int(self._table[-1, 4]) if len(self._table) else None
            _warn_cut(self.cut, self._name, len(self._table), last)

    def _columns_index(self, names: tuple[str, ...]) -> int:
        if names not in self.column_sets:
            self.column_sets.append(names)
        return self.column_sets.index(names)

    def __len__(self) -> int:
        return len(self._table)

    @property
    def timesteps(self) -> NDArray[np.int64]:
        """Every frame's timestep, from the scan."""
        return self._table[:, 4].copy()

    def columns(self, k: int) -> tuple[str, ...]:
        """Frame k's columns, as its ATOMS line names them."""
        return self.column_sets[int(self._table[k, 3])]

    @property
    def box_kinds(self) -> list[str]:
        """Every frame's kind of box: 'orthogonal', 'triclinic' (xy xz yz)
        or 'abc origin'."""
        return [BOX_KINDS[kind] for kind in self._heads[4].tolist()]

    @property
    def cells(self) -> NDArray[np.float64]:
        """Every frame's cell (frames x 3 x 3, rows a, b, c), from the scan."""
        return self._heads[2][:, :3].copy()

    def infos(self) -> FrameInfos:
        """Every frame's atom count and info (timestep, time, units, other
        sections, origin), from the scan: no atom line is read."""
        self._check_open()
        return FrameInfos(self._table[:, 2].copy(), _infos(self._heads))

    def _bytes(self, start: int, stop: int, ranges: Ranges | None) -> bytes | memoryview:
        """Bytes start to stop of the file: of the stream held, read into
        ranges' buffer from a plain file, else decompressed up to them."""
        if self._data is not None:
            return memoryview(self._data)[start:stop]
        if ranges is not None:
            return ranges.read(start, stop)
        assert self._path is not None
        return read_range(self._path, start, stop)

    def _reads_of(self, start: int, stop: int, threads: int | None = None) -> Iterator[DumpRead]:
        """Frames start to stop in as few calls as their runs need, reading
        the file's bytes a few MB of frames at a time (into a buffer of its
        own, kept for the next such read where it is not large)."""
        table = self._table
        first = start
        ranges: Ranges | None = None
        if self._data is None and self._path is not None and not self._compressed:
            ranges = self._ranges.pop() if self._ranges else Ranges(self._path)
        try:
            yield from self._reads_in(table, first, stop, ranges, threads)
        finally:
            if ranges is not None and ranges.held <= 4 * CHUNK_BYTES:
                self._ranges.append(ranges)

    def _reads_in(self, table: NDArray[np.int64], first: int, stop: int, ranges: Ranges | None,
                  threads: int | None) -> Iterator[DumpRead]:
        while first < stop:
            # A chunk of frames whose text is about CHUNK_BYTES (one frame at least).
            last = int(np.searchsorted(table[first:stop, 5], table[first, 0] + CHUNK_BYTES, side="right")) + first
            last = max(last, first + 1)
            begin = int(table[first, 0])
            text = Text(self._bytes(begin, int(table[last - 1, 5]), ranges), _KIND, self._name)
            rows = table[first:last]
            for a, b in runs(rows):
                while a < b:
                    read: DumpRead = text.call(_io_rs_buffers.read_lammps_dump_frames, text.data,
                                               int(rows[a, 0]) - begin, b - a, (begin, int(rows[a, 1]), first + a),
                                               threads=self._threads if threads is None else threads, sort=self._sort)
                    if not len(read[0][0]):
                        raise AssertionError(f"no frame read where the scanner found frame {first + a + 1}")
                    yield read
                    a += len(read[0][0])
            first = last

    def _frame(self, k: int) -> Frame:
        return self._frames(k, k + 1)[0]

    def _frames(self, start: int, stop: int) -> list[Frame]:
        return [frame for read in self._reads_of(start, stop) for frame in _frames_of(read, self._type_map, self._name)]

    def _iterate(self) -> Iterator[Frame]:
        if self._compressed and self._path is not None:
            yield from iter_lammps_dump(self._path, type_map=self._type_map, sort=self._sort, threads=self._threads)
            return
        for read in self._reads_of(0, len(self)):
            yield from _frames_of(read, self._type_map, self._name)

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every frame's positions (as the file gives them: fractional for
        scaled coordinates) as a Dask array, frames x atoms x 3, in chunks of
        frames_per_chunk frames that the tasks of a computation read from the
        file's path. Every frame must hold the same number of atoms."""
        self._check_open()
        return frames_array(self._path, self._table, None, frames_per_chunk,
                            functools.partial(read_frame_rows, sort=self._sort))

    def _close(self) -> None:
        self._data = None
        self._ranges.clear()


def read_frame_rows(path: str, rows: NDArray[np.int64], first: int, sort: bool = True) -> NDArray[np.float64]:
    """The positions of some consecutive rows of a dump's frame table, read
    from its path: what to_dask's tasks run."""
    start, stop = int(rows[0, 0]), int(rows[-1, 5])
    data = read_range(path, start, stop)
    text = Text(data, _KIND, label(path))
    parts: list[NDArray[np.float64]] = []
    for begin, end in runs(rows):
        while begin < end:
            read: DumpRead = text.call(_io_rs_buffers.read_lammps_dump_frames, data, int(rows[begin, 0]) - start,
                                       end - begin, (start, int(rows[begin, 1]), first + begin), threads=1, sort=sort)
            frames = _frames_of(read, None)
            parts.extend(frame.positions for frame in frames)
            begin += len(frames)
    return np.concatenate(parts).reshape(len(rows), -1, 3)


def open_lammps_dump(file: Source, *, type_map: TypeMap | None = None, sort: bool = True,
                     threads: int | None = None) -> LammpsDumpFile:
    """Opens a LAMMPS dump for random access; the same as LammpsDumpFile(file)."""
    return LammpsDumpFile(file, type_map=type_map, sort=sort, threads=threads)


# Writing.

_VECTORS = {"velocities": ("vx", "vy", "vz"), "forces": ("fx", "fy", "fz")}
_SECTION_NAME = re.compile(r"[A-Z0-9_]*[A-Z][A-Z0-9_]*(?: [A-Z0-9_]+)*")


def _names_of(name: str, array: NDArray[Any], k: int) -> str:
    """The file's columns an array is written as, separated by spaces."""
    if array.ndim == 1 or (array.ndim == 2 and array.shape[1] == 1):
        return name  # a single column, under the array's name
    if array.ndim != 2 or array.shape[1] == 0:
        raise ValueError(f"frame {k}: array '{name}' of shape {array.shape} cannot be written as dump columns")
    width = array.shape[1]
    if name in _VECTORS and width == 3:
        return " ".join(_VECTORS[name])
    return " ".join(f"{name}[{j}]" for j in range(1, width + 1))


# The columns a reader takes as whole numbers, by LAMMPS's naming.
_WHOLE_NUMBERS = {"id", "type", "mol", "proc", "procp1", "ix", "iy", "iz"}


def _whole_numbers(name: str) -> bool:
    return name in _WHOLE_NUMBERS or name.startswith(("i_", "i2_"))


def _numbers(name: str, values: object, k: int) -> NDArray[Any]:
    """An array as a dump writes it: reals, or whole numbers in 64 bits. A
    column read as whole numbers gets only such: a file the readers refuse
    is not written."""
    array = np.asarray(values)
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError(f"frame {k}: array '{name}' holds whole numbers beyond 64-bit signed ones "
                         f"({int(array.max())}), which a dump cannot give back")
    if array.dtype.kind == "f":
        reals = np.ascontiguousarray(array, dtype=np.float64)
        if not _whole_numbers(name):
            return reals
        whole = np.isfinite(reals) & (np.abs(reals) < 2.0**63) & (reals == np.round(reals))
        if not whole.all():
            raise ValueError(f"frame {k}: array '{name}' holds {float(reals[~whole][0])!r}, and column '{name}' holds "
                             "whole numbers in 64 bits")
        return reals.astype(np.int64)
    if array.dtype.kind in "iub":
        return np.ascontiguousarray(array, dtype=np.int64)
    raise ValueError(f"frame {k}: array '{name}' holds {array.dtype}; a dump's columns hold numbers")


def _types_column(values: object, k: int) -> NDArray[Any]:
    """The type column: numbers, or type labels, which must read back as
    labels: single words that cannot start a number."""
    array = np.asarray(values)
    if array.dtype.kind != "U":
        return _numbers("type", array, k)
    labels = array.reshape(-1)
    for label in dict.fromkeys(labels.tolist()):
        if not label or label[0] in "0123456789+-.#*" or any(c.isspace() for c in label):
            raise ValueError(f"frame {k}: type label {label!r} cannot be written: a type label is one word that "
                             f"does not start with a digit, a sign, '.', '#' or '*'")
    return labels


class _Types:
    """Type numbers for symbols, in order of first appearance over a write."""

    def __init__(self) -> None:
        self.numbers: dict[str, int] = {}

    def of(self, symbols: list[str]) -> NDArray[np.int64]:
        for symbol in symbols:
            if symbol not in self.numbers:
                self.numbers[symbol] = len(self.numbers) + 1
        return np.array([self.numbers[symbol] for symbol in symbols], dtype=np.int64)


def _sections(info: Mapping[str, Any], k: int) -> list[tuple[str, str]]:
    """The sections a frame's info gives: units, time, and each upper-case
    key whose value is a number or text."""
    found = []
    for key, value in info.items():
        if key == "units":
            found.append(("UNITS", str(value)))
        elif key == "time":
            if not isinstance(value, (int, float, np.integer, np.floating)) or isinstance(value, bool):
                raise ValueError(f"frame {k}: info['time'] must be a number, not {type(value).__name__}")
            found.append(("TIME", repr(float(value))))
        elif _SECTION_NAME.fullmatch(key) and not isinstance(value, (bool, np.bool_)):
            if isinstance(value, (int, np.integer)):
                found.append((key, str(int(value))))
            elif isinstance(value, (float, np.floating)):
                found.append((key, repr(float(value))))
            elif isinstance(value, str):
                found.append((key, value))
    return found


def _columns_of(frame: Frame, k: int, wanted: Iterable[str] | None, types: _Types) -> list[tuple[str, NDArray[Any]]]:
    """The columns a frame is written as: id, type, element (with symbols),
    the positions (x y z, or xs ys zs for fractional ones), then its arrays."""
    n = frame.natoms
    arrays = dict(frame.arrays)
    ids = arrays.pop("id", None)
    kinds = arrays.pop("type", None)
    if ids is None:
        ids = np.arange(1, n + 1, dtype=np.int64)
    if kinds is None:
        kinds = types.of(frame.symbols) if frame.symbols is not None else np.ones(n, dtype=np.int64)
    columns = [("id", _numbers("id", ids, k)), ("type", _types_column(kinds, k))]
    if frame.symbols is not None:
        columns.append(("element", np.array(frame.symbols, dtype=str).reshape(n)))
    columns.append(("xs ys zs" if frame.fractional else "x y z", np.ascontiguousarray(frame.positions, np.float64)))
    for name in (arrays if wanted is None else wanted):
        if name not in arrays:
            raise ValueError(f"frame {k} has no array {name!r} to write" +
                             (" (id and type are always written)" if name in ("id", "type") else ""))
        if not name or any(c.isspace() for c in name):
            raise ValueError(f"frame {k}: array name {name!r} cannot be a dump column (one word)")
        array = _numbers(name, arrays[name], k)
        columns.append((_names_of(name, array, k), array))
    seen: set[str] = set()
    for names, _ in columns:
        for column in names.split(" "):
            if column in seen:
                raise ValueError(f"frame {k}: column {column!r} would be written twice (the frame's arrays hold "
                                 f"one that its positions, symbols or another array also give)")
            seen.add(column)
    return columns


def _head_of(frame: Frame, k: int) -> tuple[int, list[tuple[str, str]], NDArray[np.float64], NDArray[np.float64],
                                            NDArray[np.bool_]]:
    if frame.cell is None:
        raise ValueError(f"frame {k} has no cell: a LAMMPS dump needs a cell for its box bounds")
    info = frame.info
    timestep = info.get("timestep", k)
    if not isinstance(timestep, (int, np.integer)) or isinstance(timestep, bool):
        raise ValueError(f"frame {k}: info['timestep'] must be a whole number, not {type(timestep).__name__}")
    try:
        origin = cell_origin(info)
    except ValueError as error:
        raise ValueError(f"frame {k}: {error}") from None
    return int(timestep), _sections(info, k), frame.cell, np.zeros(3) if origin is None else origin, frame.pbc


def _chunks(frames: Iterable[Frame], columns: Iterable[str] | None, decimals: int | None,
            write: Any, threads: int) -> int:
    """Formats frames a batch at a time, runs of frames with the same columns
    in one call on `threads` threads, the text handed to write in pieces;
    returns the count."""
    wanted = None if columns is None else list(columns)
    types = _Types()
    written = 0
    for batch in batches(frames, lambda frame: frame.natoms):
        prepared = [(_head_of(frame, written + j), _columns_of(frame, written + j, wanted, types), frame.natoms)
                    for j, frame in enumerate(batch)]
        start = 0
        while start < len(prepared):
            shape = [(names, a.dtype.kind, a.dtype.itemsize if a.dtype.kind == "U" else 0) for names, a in prepared[start][1]]
            stop = start + 1
            while stop < len(prepared) and [(names, a.dtype.kind, a.dtype.itemsize if a.dtype.kind == "U" else 0)
                                            for names, a in prepared[stop][1]] == shape:
                stop += 1
            run = prepared[start:stop]
            merged = [(names, run[0][1][c][1] if len(run) == 1 else np.concatenate([item[1][c][1] for item in run]))
                      for c, (names, _) in enumerate(run[0][1])]
            _io_rs_buffers.format_lammps_dump_frames([item[0] for item in run], merged, [item[2] for item in run],
                                                     decimals, write=write, threads=threads)
            start = stop
        written += len(batch)
    return written


def write_lammps_dump(file: Target, frames: Frame | Iterable[Frame], columns: Iterable[str] | None = None, *,
                      decimals: int | None = None, threads: int | None = None) -> None:
    """Writes frames (one or an iterable, consumed as they come) as a LAMMPS
    dump of style custom to a path (.gz, .bz2, .xz compressed) or an open
    binary file: ITEM: ATOMS id type (element, where the frame has symbols)
    x y z (xs ys zs for fractional positions), then the frame's arrays named
    by `columns` (all of them by default; (N, k) arrays as NAME[1]..NAME[k],
    velocities as vx vy vz, forces as fx fy fz). The box comes from the cell
    and info["origin"], as LAMMPS writes it (xy xz yz for a tilted cell, abc
    origin for one that is not in LAMMPS's form), the timestep from
    info["timestep"] (else the frame's index), ITEM: TIME and UNITS from
    info["time"] and info["units"], and other sections from upper-case info
    keys. Reals are written in the shortest form that reads back the same,
    or with `decimals` decimals, rounded half to even. A frame without a
    cell is refused. The text is formatted, and gzip compressed, on `threads`
    threads (by default IO_RS_NUM_THREADS, else every core)."""
    listed = [frames] if isinstance(frames, Frame) else frames
    with writing(file, threads) as write:
        _chunks(listed, columns, decimals, write, resolve_threads(threads))


def format_lammps_dump(frames: Frame | Iterable[Frame], columns: Iterable[str] | None = None, *,
                       decimals: int | None = None, threads: int | None = None) -> bytes:
    """The bytes of a dump, as write_lammps_dump writes them."""
    pieces: list[bytes] = []
    _chunks([frames] if isinstance(frames, Frame) else frames, columns, decimals, pieces.append,
            resolve_threads(threads))
    return b"".join(pieces)


# The table of formats.

def sniff(head: bytes) -> bool:
    """Whether the first bytes of a file look like a LAMMPS text dump: an ITEM
    line first, and ITEM: TIMESTEP among them."""
    return head.lstrip().startswith(b"ITEM:") and re.search(rb"^ITEM:[ \t]*TIMESTEP[ \t\r]*$", head, re.MULTILINE) is not None


def read_frames(file: Source, threads: int | None = None, type_map: TypeMap | None = None,
                sort: bool = True) -> list[Frame]:
    return read_lammps_dump(file, type_map=type_map, sort=sort, threads=threads)


def iread_frames(file: Source, threads: int | None = None, type_map: TypeMap | None = None,
                 sort: bool = True) -> Iterator[Frame]:
    return iter_lammps_dump(file, type_map=type_map, sort=sort, threads=threads)


def open_frames(file: Source, threads: int | None = None, type_map: TypeMap | None = None,
                sort: bool = True) -> Trajectory:
    return LammpsDumpFile(file, type_map=type_map, sort=sort, threads=threads)


def write_frames(file: Target, frames: Iterable[Frame], decimals: int | None = None,
                 columns: Iterable[str] | None = None) -> int:
    """Writes frames as a LAMMPS dump as they come; returns how many."""
    with writing(file) as write:
        return _chunks(frames, columns, decimals, write, resolve_threads(None))
