"""Every ionic step of a VASP run's vasprun.xml.

    <modeling>
      <atominfo> ... one row per atom: its element
      <calculation>  <scstep>...  <structure> (basis, fractional positions)
                     <varray name="forces">  <varray name="stress">  <energy>
      </calculation>                                    a step computed by DFT
      <structure/> <varray name="forces"/> <energy/>    a force field's step (VASP 6.3+ MLFF)
    </modeling>

One frame per ionic step: `symbols` from <atominfo>, fractional `positions`
of the step's `cell` (its basis), pbc all true, `arrays["forces"]` (eV/Å),
and in `info` the energies (eV) of the step's last <scstep> as
"free_energy" (TOTEN), "energy" (energy(sigma->0)) and
"energy_without_entropy", "stress" (3 x 3, eV/Å³, positive = tensile:
-(the kB tensor) / 1602.1766208), "step" (from 1, in file order) and
"calculator" ("DFT" or "ML"); keys the step does not print are absent.

One scan of _io_rs_buffers.scan_vasprun finds every step (and reads the
XML as XML, checking it is well-formed); positions and forces are read by
the same scan, on threads, or for one step alone from the steps' table.
"""

from __future__ import annotations

import mmap
import os
import warnings
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack
from functools import partial
from itertools import chain
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

if TYPE_CHECKING:
    import dask.array

from ._dask import frames_array
from ._files import (CHUNK_BYTES, DataWarning, Pieces, Source, Text, TruncatedWarning, compression_of, label,
                     open_data, open_pieces, read_range, resolve_threads)
from ._frame import Frame
from ._trajectory import FrameInfos, Trajectory

FORMAT = "vasprun.xml"
# steps= as the scanner's selection bits.
_SELECT = {"all": 3, "dft": 1, "ml": 2}
_CALCULATORS = ("DFT", "ML")
# The parts of a step, as bits of the scanner's parts column.
_POSITIONS, _CELL, _FORCES, _STRESS = 1, 2, 4, 8
_ENERGIES = (("free_energy", 16, 0), ("energy", 32, 1), ("energy_without_entropy", 64, 2))
_ALL_ENERGIES = 16 | 32 | 64
_FIELDS = (("positions", _POSITIONS), ("cell", _CELL), ("forces", _FORCES), ("stress", _STRESS),
           *((key, bit) for key, bit, _ in _ENERGIES))
# Steps read by one call when a file is gone through a step at a time.
_BATCH = 256
# From this size a plain file read on threads is read in windows, the frames
# of one made while the next is read: making frames takes a tenth of the
# time reading takes, and would otherwise be a part that one thread does.
_PIPELINE_BYTES = 64 << 20

_PERIODIC = np.ones(3, dtype=np.bool_)
_PERIODIC.flags.writeable = False


class _Scan(NamedTuple):
    """What one scan_vasprun call returns."""

    symbols: list[str] | None
    state: tuple[int, bool, bool, int] | None
    table: NDArray[np.int64]      # offset, line, natoms, calculator, step, end
    cells: NDArray[np.float64]
    stress: NDArray[np.float64]
    energies: NDArray[np.float64]
    parts: NDArray[np.int64]      # present, overflowed
    positions: list[NDArray[np.float64]] | None  # steps x atoms x 3, in parts
    forces: list[NDArray[np.float64]] | None
    stop: tuple[int, int, int, bool, bool, int]  # consumed, line, steps, complete, truncated, last line
    damage: list[tuple[int, int]]


def _select(steps: str) -> int:
    if steps not in _SELECT:
        raise ValueError(f"steps must be 'all', 'dft' or 'ml', not {steps!r}")
    return _SELECT[steps]


def _scan(text: Text, data: object, base: tuple[int, int, int] | None, last: bool,
          state: tuple[int, bool, bool, int] | None, values: bool, select: int, threads: int,
          ranged: bool = False) -> _Scan:
    return _Scan(*text.call(_io_rs_buffers.scan_vasprun, data, 0, base, last, state, values, select, ranged,
                            threads=threads))


class _Notes:
    """The warnings of a reading: values read as NaN, damage read around,
    and a file cut short, each said once, naming the file and the steps."""

    def __init__(self, name: str) -> None:
        self.name = name

    def values(self, scan: _Scan) -> None:
        overflowed: list[int] = np.flatnonzero(scan.parts[:, 1]).tolist() if len(scan.parts) else []
        if not overflowed:
            return
        said = []
        for k in overflowed[:5]:
            bits = int(scan.parts[k, 1])
            fields = ", ".join(field for field, bit in _FIELDS if bits & bit)
            said.append(f"{fields} of step {int(scan.table[k, 4])}")
        more = f" and {len(overflowed) - 5} more steps" if len(overflowed) > 5 else ""
        warnings.warn(f"{FORMAT} {self.name}: values printed as **** (a Fortran overflow) read as NaN: "
                      f"{'; '.join(said)}{more}", DataWarning, stacklevel=4)

    def damage(self, scan: _Scan) -> None:
        for line, step in scan.damage:
            lost = f"step {step} lost" if step else "no step lost"
            warnings.warn(f"{FORMAT} {self.name}: NUL bytes from line {line} (a damaged file) read around: {lost}",
                          DataWarning, stacklevel=4)

    def end(self, scan: _Scan) -> None:
        _, _, counted, _, truncated, last_line = scan.stop
        if truncated:
            warnings.warn(f"{FORMAT} {self.name} is cut short at line {last_line}: every complete step is read, "
                          f"the last is step {counted}", TruncatedWarning, stacklevel=4)


def _frames(scan: _Scan, symbols: list[str] | None) -> list[Frame]:
    """The frames of a scan that read values: views of its arrays, one step each."""
    assert scan.positions is not None and scan.forces is not None
    make = Frame._make
    frames = []
    # Columns as lists (a list of rows costs a list a row), views a step each.
    energies = [scan.energies[:, column].tolist() for column in range(3)]
    calculators = [_CALCULATORS[calculator] for calculator in scan.table[:, 3].tolist()]
    common = _ALL_ENERGIES | _STRESS | _FORCES
    for present, free, energy, without, step, calculator, positions, forces, cell, stress in zip(
            scan.parts[:, 0].tolist(), *energies, scan.table[:, 4].tolist(), calculators,
            chain.from_iterable(scan.positions), chain.from_iterable(scan.forces), list(scan.cells), list(scan.stress)):
        if present & common == common:  # the common step: its info made at once
            frames.append(make(symbols, positions, True, cell, _PERIODIC,
                               {"free_energy": free, "energy": energy, "energy_without_entropy": without,
                                "stress": stress, "step": step, "calculator": calculator}, {"forces": forces}))
            continue
        values = (free, energy, without)
        info: dict[str, Any] = {key: values[column] for key, bit, column in _ENERGIES if present & bit}
        if present & _STRESS:
            info["stress"] = stress
        info["step"] = step
        info["calculator"] = calculator
        frames.append(make(symbols, positions, True, cell, _PERIODIC, info,
                           {"forces": forces} if present & _FORCES else {}))
    return frames


def _release(data: object, start: int, stop: int) -> int:
    """Gives back the pages of a map between start and stop that reading has
    gone past, so that going through a large file holds a window of it, not
    all it has read (the pages stay in the system's cache); returns where the
    pages still held start."""
    if not isinstance(data, mmap.mmap) or not hasattr(mmap, "MADV_DONTNEED"):
        return start
    first = -(-start // mmap.PAGESIZE) * mmap.PAGESIZE
    last = stop // mmap.PAGESIZE * mmap.PAGESIZE
    if last > first:
        data.madvise(mmap.MADV_DONTNEED, first, last - first)
        return last
    return start


def _scans(file: Source, name: str, values: bool, select: int, threads: int,
           window: int | None = None, release: bool = True) -> Iterator[_Scan]:
    """Scans of a file a window at a time (see _window_scans)."""
    with open_pieces(file, threads) as pieces:
        yield from _window_scans(pieces, name, values, select, threads, window or CHUNK_BYTES, release)


def _window_scans(pieces: Pieces, name: str, values: bool, select: int, threads: int,
                  window: int, release: bool = True) -> Iterator[_Scan]:
    """Scans of a file a window at a time: a compressed file or a stream as
    it is decompressed or read, a plain file's map a slice at a time (the
    pages behind given back, unless the whole file is read anyway: then they
    go with the map). With more than one thread the next window is
    scanned in the background while the caller makes the frames of this
    one: the scan runs without the interpreter lock."""
    notes = _Notes(name)
    text = Text(pieces.data, FORMAT, name)
    state: tuple[int, bool, bool, int] | None = None
    line, counted, start, width, released = 1, 0, 0, window, 0
    view = memoryview(pieces.data) if pieces.last else None

    def scan_next() -> _Scan:
        if view is None:
            return _scan(text, pieces.data, (pieces.start, line, counted), pieces.last, state, values, select,
                         threads)
        stop = min(len(view), start + width)
        with view[start:stop] as data:
            return _scan(text, data, (start, line, counted), stop == len(view), state, values, select, threads)

    pool = ThreadPoolExecutor(1) if threads > 1 else None
    try:
        upcoming = pool.submit(scan_next) if pool is not None else None
        while True:
            scan = upcoming.result() if upcoming is not None else scan_next()
            consumed, line, counted, complete, _, _ = scan.stop
            state = scan.state if scan.state is not None else state
            if not complete:
                # A step larger than the window: one twice as wide, until it
                # fits (growing by a chunk would read it again and again).
                if view is not None:
                    width = width * 2 if consumed == 0 else window
                    start += consumed
                    if release:
                        released = _release(pieces.data, released, start)
                else:
                    pieces.advance(consumed)
                upcoming = pool.submit(scan_next) if pool is not None else None
            notes.damage(scan)
            if values:
                notes.values(scan)
            yield scan
            if complete:
                notes.end(scan)
                return
    finally:
        if pool is not None:
            pool.shutdown(wait=True)
        if view is not None:
            view.release()


def read_vasprun(file: Source, *, steps: str = "all", threads: int | None = None) -> list[Frame]:
    """Every ionic step of a vasprun.xml (a path, .gz, .bz2 and .xz
    decompressed, or an open binary file) as a Frame. steps="dft" or "ml"
    keeps those a DFT calculation or a machine-learned force field computed.

    A run cut short gives every complete step and a TruncatedWarning; values
    printed as **** read as NaN with a DataWarning; a malformed file raises
    FormatError naming the file, the line and the step."""
    select = _select(steps)
    name = label(file)
    threads = resolve_threads(threads)
    path = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
    size = os.path.getsize(path) if path is not None and not compression_of(path) else 0
    if threads == 1 or size < _PIPELINE_BYTES:
        notes = _Notes(name)
        with open_data(file, threads) as data:
            scan = _scan(Text(data, FORMAT, name), data, None, True, None, True, select, threads)
        notes.damage(scan)
        notes.values(scan)
        notes.end(scan)
        return _frames(scan, scan.symbols)
    # A large file on threads: windows, the frames of one made while the next is read.
    frames: list[Frame] = []
    symbols: list[str] | None = None
    for scan in _scans(file, name, True, select, threads, max(CHUNK_BYTES, size // 12), release=False):
        symbols = scan.symbols if scan.symbols is not None else symbols
        frames += _frames(scan, symbols)
    return frames


def iter_vasprun(file: Source, *, steps: str = "all", threads: int | None = None) -> Iterator[Frame]:
    """The ionic steps of a vasprun.xml one at a time, as read_vasprun gives
    them: the file is read a window of a few MB at a time, never held whole
    (a compressed one decompressed as it goes)."""
    select = _select(steps)
    symbols: list[str] | None = None
    for scan in _scans(file, label(file), True, select, resolve_threads(threads)):
        if scan.symbols is not None:
            symbols = scan.symbols
        yield from _frames(scan, symbols)


class VasprunFile(Trajectory):
    """The ionic steps of a vasprun.xml held open for random access: one scan
    finds every step (and its energies), and step k is then read alone.
    ``len(f)``, ``f[k]``, ``f[a:b]``, iteration, ``with``, ``f.infos()``
    (every step's energies, step number and calculator, read by the scan)."""

    #: Each atom's element, from <atominfo>; None where the file has none.
    symbols: list[str] | None
    #: Whether the run ended early: the file ends before the document does.
    truncated: bool
    #: Whether the cell changes from step to step (ISIF >= 3, NpT MD).
    variable_cell: bool

    def __init__(self, file: Source, *, steps: str = "all", threads: int | None = None) -> None:
        super().__init__("vasprun")
        self._select = _select(steps)
        self._threads = resolve_threads(threads)
        self._name = label(file)
        self._path = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
        self._compressed = self._path is not None and bool(compression_of(self._path))
        self._stack = ExitStack()
        self._data: bytes | mmap.mmap = b""
        try:
            if self._compressed:
                scans = _scans(file, self._name, False, self._select, self._threads)
            else:
                # A window at a time, the pages behind given back: opening a
                # large file holds a window of it, not all of it.
                self._data = self._stack.enter_context(open_data(file))
                scans = _window_scans(Pieces(None, self._data), self._name, False, self._select, self._threads,
                                      4 * CHUNK_BYTES)
            self._keep(scans)
        except BaseException:
            self._stack.close()
            raise

    def _keep(self, scans: Iterator[_Scan]) -> None:
        """What the scans found that random access and infos() need: the
        steps' table, energies and parts; whether the cell changes."""
        tables, energies, parts = [], [], []
        self.symbols, state, first, self.variable_cell = None, None, None, False
        for scan in scans:
            self.symbols = scan.symbols if scan.symbols is not None else self.symbols
            state = scan.state if scan.state is not None else state
            tables.append(scan.table)
            energies.append(scan.energies)
            parts.append(scan.parts[:, 0])
            if len(scan.cells):
                first = scan.cells[0].copy() if first is None else first
                self.variable_cell = self.variable_cell or not np.array_equal(scan.cells,
                                                                              np.broadcast_to(first, scan.cells.shape))
            self.truncated = bool(scan.stop[4])
        # What a scan of steps taken out of the file needs: inside <modeling>.
        self._state = None if state is None else (state[0], state[1], False, state[3])
        self._table = np.concatenate(tables)
        self._energies = np.concatenate(energies)
        self._parts = np.concatenate(parts)

    def __len__(self) -> int:
        return len(self._table)

    def _bytes(self, start: int, stop: int) -> tuple[object, int]:
        """Steps start to stop: the bytes that hold them, and the file's byte where they start."""
        first, end = int(self._table[start, 0]), int(self._table[stop - 1, 5])
        if self._compressed and self._path is not None:
            return read_range(self._path, first, end), first
        return memoryview(self._data)[first:end], first

    def _frames(self, start: int, stop: int) -> list[Frame]:
        if start >= stop:
            return []
        self._check_open()
        data, first = self._bytes(start, stop)
        try:
            base = (first, int(self._table[start, 1]), int(self._table[start, 4]) - 1)
            scan = _scan(Text(self._data, FORMAT, self._name), data, base, True, self._state, True, self._select,
                         self._threads, ranged=True)
        finally:
            if isinstance(data, memoryview):
                data.release()
        _Notes(self._name).values(scan)
        if len(scan.table) != stop - start:
            raise ValueError(f"{FORMAT} {self._name} changed since it was opened: steps {start + 1} to {stop} "
                             "are no longer where they were")
        return _frames(scan, self.symbols)

    def _frame(self, k: int) -> Frame:
        return self._frames(k, k + 1)[0]

    def _iterate(self) -> Iterator[Frame]:
        if self._compressed and self._path is not None:
            yield from iter_vasprun(self._path, steps=_steps_name(self._select), threads=self._threads)
            return
        count, released = len(self), 0
        for start in range(0, count, _BATCH):
            yield from self._frames(start, min(start + _BATCH, count))
            released = _release(self._data, released, int(self._table[min(start + _BATCH, count) - 1, 5]))

    def infos(self) -> FrameInfos:
        """Every step's atom count and info (its energies, step and
        calculator), from the scan: no positions are read."""
        rows = self._table[:, [3, 4]].tolist()
        energies = self._energies.tolist()
        present = self._parts.tolist()
        infos = []
        for k, (calculator, step) in enumerate(rows):
            info: dict[str, Any] = {key: energies[k][column] for key, bit, column in _ENERGIES if present[k] & bit}
            info["step"] = step
            info["calculator"] = _CALCULATORS[calculator]
            infos.append(info)
        return FrameInfos(self._table[:, 2].copy(), infos)

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every step's fractional positions as a Dask array, steps x atoms x
        3, in chunks of frames_per_chunk steps that the tasks of a Dask
        computation read from the file's path when they need them."""
        return frames_array(self._path, self._table, None, frames_per_chunk,
                            partial(read_step_rows, state=self._state, select=self._select))

    def _close(self) -> None:
        self._data = b""
        self._stack.close()


def read_step_rows(path: str, rows: NDArray[np.int64], first: int, *, state: tuple[int, bool, bool, int] | None,
                   select: int) -> NDArray[np.float64]:
    """The positions of some consecutive rows of a vasprun.xml's steps'
    table, read from its path: what to_dask's tasks run."""
    start, stop = int(rows[0, 0]), int(rows[-1, 5])
    data = read_range(path, start, stop)
    scan = _scan(Text(data, FORMAT, label(path)), data, (start, int(rows[0, 1]), int(rows[0, 4]) - 1), True, state,
                 True, select, 1, ranged=True)
    assert scan.positions is not None and len(scan.table) == len(rows), (path, first)
    return np.concatenate(scan.positions) if scan.positions else np.zeros((0, int(rows[0, 2]), 3))


def _steps_name(select: int) -> str:
    return next(name for name, bits in _SELECT.items() if bits == select)


def open_vasprun(file: Source, *, steps: str = "all", threads: int | None = None) -> VasprunFile:
    """Opens a vasprun.xml for random access to its ionic steps: a path
    (mapped into memory; .gz, .bz2, .xz scanned as they are decompressed) or
    an open binary file. The same as VasprunFile(file)."""
    return VasprunFile(file, steps=steps, threads=threads)


def read_frames(file: Source, threads: int | None = None, steps: str = "all") -> list[Frame]:
    return read_vasprun(file, steps=steps, threads=threads)


def iread_frames(file: Source, threads: int | None = None, steps: str = "all") -> Iterator[Frame]:
    return iter_vasprun(file, steps=steps, threads=threads)


def open_frames(file: Source, threads: int | None = None, steps: str = "all") -> Trajectory:
    return VasprunFile(file, steps=steps, threads=threads)


def sniff(head: bytes) -> bool:
    """Whether the first bytes of a file are XML whose root element is <modeling>."""
    text = head.removeprefix(b"\xef\xbb\xbf").lstrip()
    while text.startswith((b"<?", b"<!--")):
        close = text.find(b"?>" if text.startswith(b"<?") else b"-->")
        if close < 0:
            return False
        text = text[close + (2 if text.startswith(b"<?") else 3):].lstrip()
    return text.startswith(b"<modeling") and text[9:10] in (b">", b" ", b"\t", b"\r", b"\n", b"/")


__all__ = ["VasprunFile", "read_vasprun", "iter_vasprun", "open_vasprun"]
