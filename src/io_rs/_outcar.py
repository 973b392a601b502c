"""VASP OUTCAR files: every ionic step of a run, as frames.

One scan (_io_rs_buffers.scan_outcar_steps) finds every step: its
POSITION/TOTAL-FORCE table (DFT, or "(ML)" for the machine-learned force
field), the stress ("in kB") and cell ("direct lattice vectors") printed
before it and its energies ("free  energy   TOTEN", "energy  without
entropy", "energy(sigma->0)"); the tables' atom lines are read in the same
call when every frame is wanted, or a step at a time later
(_io_rs_buffers.read_outcar_tables).

A frame per step: symbols (from the POTCARs and the atoms per type; None
where the file does not say which species an atom is), Cartesian positions
in Å, the step's cell, pbc all true, arrays["forces"] in eV/Å, and in info
the energies, the stress (3 x 3, eV/Å³, positive = tensile), the step's
number as the file gives it, and the calculator ("DFT" or "ML").
"""

from __future__ import annotations

import io
import os
import warnings
from collections.abc import Iterator
from contextlib import ExitStack
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

if TYPE_CHECKING:
    import dask.array

from ._dask import frames_array
from ._files import (DataWarning, Pieces, ReadableBinary, Source, Text, TruncatedWarning, compression_of, label,
                     open_data, open_decompressed, read_range, resolve_threads)
from ._frame import Frame
from ._trajectory import FrameInfos, Trajectory

#: Which steps a reader returns: every step, those DFT computed, or those
#: the machine-learned force field predicted.
Steps = Literal["all", "dft", "ml"]

_KIND = "OUTCAR"
# The bits of a step's flags (the last column of a scan's steps): what it
# printed; the same bits shifted by _OVERFLOW: which of those held ****.
_CELL, _STRESS, _FREE_ENERGY, _WITHOUT_ENTROPY, _ENERGY, _POSITIONS, _FORCES = (1 << k for k in range(7))
_OVERFLOW = 8
_FIELDS = ((_CELL, "cell"), (_STRESS, "stress"), (_FREE_ENERGY, "free_energy"),
           (_WITHOUT_ENTROPY, "energy_without_entropy"), (_ENERGY, "energy"), (_POSITIONS, "positions"),
           (_FORCES, "forces"))
_CALCULATORS = ("DFT", "ML")
# Columns of a scan's steps.
_OFFSET, _LINE, _NATOMS, _CALCULATOR, _STEP, _END, _ROWS, _FLAGS = range(8)

_PERIODIC = np.ones(3, dtype=np.bool_)
_PERIODIC.flags.writeable = False


def _calculator(steps: str) -> int | None:
    """The calculator column's value a `steps=` keeps (None: all)."""
    if steps == "all":
        return None
    if steps in ("dft", "ml"):
        return 0 if steps == "dft" else 1
    raise ValueError(f"steps must be 'all', 'dft' or 'ml', not {steps!r}")


def _symbols(species: list[str], counts: list[int], natoms: int) -> list[str] | None:
    """Each atom's symbol, where the header says it: a species per count,
    the counts adding up to the atoms (VASP 6 prints ten counts at most)."""
    if not species or len(species) != len(counts) or sum(counts) != natoms:
        return None
    return [name for name, count in zip(species, counts) for _ in range(count)]


class _Scan(NamedTuple):
    header: tuple[list[str], list[int], int]
    steps: NDArray[np.int64]
    cells: NDArray[np.float64]
    stresses: NDArray[np.float64]
    energies: NDArray[np.float64]
    positions: NDArray[np.float64] | None
    forces: NDArray[np.float64] | None
    lost: list[tuple[int, int]]
    stop: tuple[int, int, bool, bool, int | None]
    carry: object


class _Steps:
    """Steps of a scan (or several), as the rows and values frames are made of."""

    def __init__(self, steps: NDArray[np.int64], cells: NDArray[np.float64], stresses: NDArray[np.float64],
                 energies: NDArray[np.float64]) -> None:
        self.steps = steps
        self.cells = cells
        self.stresses = stresses
        self.energies = energies

    def __len__(self) -> int:
        return len(self.steps)

    def only(self, calculator: int | None) -> _Steps:
        if calculator is None:
            return self
        keep = self.steps[:, _CALCULATOR] == calculator
        return _Steps(self.steps[keep], self.cells[keep], self.stresses[keep], self.energies[keep])

    def infos(self) -> list[dict[str, Any]]:
        """Each step's info: energies, stress, step and calculator."""
        stresses = list(self.stresses)
        found = []
        every = _FREE_ENERGY | _ENERGY | _WITHOUT_ENTROPY | _STRESS
        # Columns as lists (a list of rows costs a list a row).
        columns = [self.steps[:, column].tolist() for column in (_FLAGS, _CALCULATOR, _STEP)]
        energies = [self.energies[:, column].tolist() for column in range(3)]
        for flags, calculator, step, free, without, energy, stress in zip(*columns, *energies, stresses):
            if flags & every == every:  # the common step: one dict made at once
                found.append({"free_energy": free, "energy": energy, "energy_without_entropy": without,
                              "stress": stress, "step": step, "calculator": _CALCULATORS[calculator]})
                continue
            info: dict[str, Any] = {}
            if flags & _FREE_ENERGY:
                info["free_energy"] = free
            if flags & _ENERGY:
                info["energy"] = energy
            if flags & _WITHOUT_ENTROPY:
                info["energy_without_entropy"] = without
            if flags & _STRESS:
                info["stress"] = stress
            info["step"] = step
            info["calculator"] = _CALCULATORS[calculator]
            found.append(info)
        return found

    def frames(self, symbols: list[str] | None, positions: NDArray[np.float64],
               forces: NDArray[np.float64]) -> list[Frame]:
        make = Frame._make
        cells: list[NDArray[np.float64] | None] = list(self.cells)
        for k in np.flatnonzero((self.steps[:, _FLAGS] & _CELL) == 0).tolist():
            cells[k] = None
        return [make(symbols, position, False, cell, _PERIODIC, info, {"forces": force})
                for position, force, cell, info in zip(positions, forces, cells, self.infos())]

    def overflows(self, overflow: NDArray[np.uint8] | None = None) -> list[tuple[str, int]]:
        """(field, step) of every value printed as ****; overflow gives the
        tables' own (1 positions, 2 forces) where read apart."""
        flags = self.steps[:, _FLAGS] >> _OVERFLOW
        if overflow is not None:
            flags = flags | (overflow.astype(np.int64) & 1) * _POSITIONS | (overflow.astype(np.int64) & 2) // 2 * _FORCES
        found = []
        for k in np.flatnonzero(flags).tolist():
            found += [(name, int(self.steps[k, _STEP])) for bit, name in _FIELDS if flags[k] & bit]
        return found


def _warn_overflow(name: str, overflows: list[tuple[str, int]]) -> None:
    if not overflows:
        return
    by_field: dict[str, list[int]] = {}
    for field, step in overflows:
        by_field.setdefault(field, []).append(step)
    parts = "; ".join(f"{field} of step{'s' if len(steps) > 1 else ''} {', '.join(map(str, steps))}"
                      for field, steps in by_field.items())
    warnings.warn(f"{_KIND} {name}: Fortran overflow (****) read as NaN: {parts}", DataWarning, stacklevel=3)


def _warn_lost(name: str, lost: list[tuple[int, int]]) -> None:
    if lost:
        steps = "; ".join(f"step {step} (NUL bytes from line {line} on)" for step, line in lost)
        warnings.warn(f"{_KIND} {name}: steps made unreadable by NUL bytes, left out: {steps}", DataWarning,
                      stacklevel=3)


def _warn_truncated(name: str, found: int, last_step: int | None, line: int | None) -> None:
    last = f", the last complete step {last_step}" if last_step is not None else ""
    warnings.warn(f"{_KIND} {name}: the run ended early: {found} complete steps read{last}; reading stopped at "
                  f"line {line}", TruncatedWarning, stacklevel=3)


class _Ending:
    """How a scan of a whole file ended."""

    def __init__(self) -> None:
        self.lost: list[tuple[int, int]] = []
        self.finished = False
        self.stopped: int | None = None
        self.last_step: int | None = None
        self.steps = 0

    def add(self, scan: _Scan) -> None:
        self.lost += scan.lost
        self.steps += len(scan.steps)
        if len(scan.steps):
            self.last_step = int(scan.steps[-1, _STEP])
        _, _, complete, finished, stopped = scan.stop
        if complete:
            self.finished, self.stopped = finished, stopped

    def warn(self, name: str) -> None:
        _warn_lost(name, self.lost)
        if not self.finished:
            _warn_truncated(name, self.steps, self.last_step, self.stopped)


def _scan(text: Text, data: Any, start: int, line: int, before: int, last: bool, carry: object, tables: bool,
          threads: int) -> _Scan:
    return _Scan(*text.call(_io_rs_buffers.scan_outcar_steps, data, 0, (start, line, before), last, carry,
                            tables=tables, threads=threads))


def _stream(file: Source, stack: ExitStack) -> Pieces:
    """The file a window at a time: a path opened (decompressed by its
    suffix), or the open stream as it is."""
    stream: io.BufferedIOBase | ReadableBinary
    if isinstance(file, (str, os.PathLike)):
        stream = stack.enter_context(open_decompressed(os.fspath(file)))
    else:
        stream = file
    pieces = Pieces(stream)
    pieces.advance(0)
    return pieces


def _scans(file: Source, name: str, tables: bool, threads: int, ending: _Ending) -> Iterator[_Scan]:
    """The file scanned a window of a few MB at a time, whatever it is: only
    the window and the step that straddles its end are ever held."""
    with ExitStack() as stack:
        pieces = _stream(file, stack)
        carry: object = None
        line, before = 1, 0
        while True:
            scan = _scan(Text(pieces.data, _KIND, name), pieces.data, pieces.start, line, before, pieces.last, carry,
                         tables, threads)
            ending.add(scan)
            yield scan
            consumed, line, complete, _, _ = scan.stop
            if complete:
                return
            before += len(scan.steps)
            carry = scan.carry
            pieces.advance(consumed)


def read_outcar(file: Source, *, steps: Steps = "all", threads: int | None = None) -> list[Frame]:
    """Every ionic step of an OUTCAR as a Frame: a path (.gz, .bz2, .xz
    decompressed) or an open binary file. steps="dft" or "ml" keeps the
    steps one calculator made. A run cut short gives its complete steps and
    a TruncatedWarning; a malformed file raises FormatError."""
    calculator = _calculator(steps)
    name = label(file)
    threads = resolve_threads(threads)
    with open_data(file, threads) as data:
        scan = _scan(Text(data, _KIND, name), data, 0, 1, 0, True, None, True, threads)
    ending = _Ending()
    ending.add(scan)
    found = _Steps(scan.steps, scan.cells, scan.stresses, scan.energies)
    assert scan.positions is not None and scan.forces is not None
    positions, forces = scan.positions, scan.forces
    if calculator is not None:
        keep = scan.steps[:, _CALCULATOR] == calculator
        found, positions, forces = found.only(calculator), positions[keep], forces[keep]
    species, counts, natoms = scan.header
    frames = found.frames(_symbols(species, counts, natoms), positions, forces)
    _warn_overflow(name, found.overflows())
    ending.warn(name)
    return frames


def iter_outcar(file: Source, *, steps: Steps = "all", threads: int | None = None) -> Iterator[Frame]:
    """The ionic steps of an OUTCAR one at a time: the file is read a window
    of a few MB at a time, never whole, compressed or not."""
    calculator = _calculator(steps)
    name = label(file)
    ending = _Ending()
    symbols: list[str] | None = None
    for scan in _scans(file, name, True, resolve_threads(threads), ending):
        if not len(scan.steps):
            continue
        if symbols is None:
            symbols = _symbols(*scan.header)
        assert scan.positions is not None and scan.forces is not None
        found = _Steps(scan.steps, scan.cells, scan.stresses, scan.energies)
        positions, forces = scan.positions, scan.forces
        if calculator is not None:
            keep = scan.steps[:, _CALCULATOR] == calculator
            found, positions, forces = found.only(calculator), positions[keep], forces[keep]
        _warn_overflow(name, found.overflows())
        yield from found.frames(symbols, positions, forces)
    ending.warn(name)


class OutcarTrajectory(Trajectory):
    """The ionic steps of an OUTCAR held open for random access: opening
    scans the file once (a window at a time, never whole), t[k] then reads
    step k's table alone. Beside a Trajectory's own: `truncated` (the run
    ended early), `lost_steps`, the header's `species`, `counts` and
    `symbols`, every step's `cells` and whether the cell changes."""

    def __init__(self, file: Source, *, steps: Steps = "all", threads: int | None = None) -> None:
        super().__init__("outcar")
        calculator = _calculator(steps)
        self._which = steps
        self._threads = resolve_threads(threads)
        self._name = label(file)
        self._path = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
        self._compressed = self._path is not None and bool(compression_of(self._path))
        self._stack = ExitStack()
        self._data: Any = b""
        try:
            if self._path is None:
                # An open stream cannot be read again: its bytes are kept.
                self._data = self._stack.enter_context(open_data(file))
                source: Source = io.BytesIO(self._data)
            else:
                source = self._path
            ending = _Ending()
            parts = list(_scans(source, self._name, False, self._threads, ending))
            # The last scan has the header whole (the first may have stopped inside it).
            self.species, self.counts, natoms = parts[-1].header
            self._natoms = natoms
            self.symbols = _symbols(self.species, self.counts, natoms)
            every = _Steps(np.concatenate([part.steps for part in parts]),
                           np.concatenate([part.cells for part in parts]),
                           np.concatenate([part.stresses for part in parts]),
                           np.concatenate([part.energies for part in parts]))
            self._steps = every.only(calculator)
            self.truncated = not ending.finished
            self.lost_steps = list(ending.lost)
            ending.warn(self._name)
            if self._path is not None and not self._compressed:
                self._data = self._stack.enter_context(open_data(self._path))
        except BaseException:
            self._stack.close()
            raise

    def __len__(self) -> int:
        return len(self._steps)

    @property
    def cells(self) -> NDArray[np.float64]:
        """Every step's cell (steps x 3 x 3, Å; NaN for a step without one)."""
        return self._steps.cells

    @property
    def variable_cell(self) -> bool:
        """Whether the cell differs between steps (ISIF >= 3, NpT)."""
        cells = self._steps.cells
        return bool(len(cells)) and not bool((cells == cells[0]).all())

    def _read(self, start: int, stop: int) -> list[Frame]:
        rows = self._steps.steps[start:stop]
        if self._compressed and self._path is not None:
            first = int(rows[0, _OFFSET])
            data: Any = read_range(self._path, first, int(rows[-1, _END]))
        else:
            first, data = 0, self._data
        positions, forces, overflow = Text(data, _KIND, self._name).call(
            _io_rs_buffers.read_outcar_tables, data, rows, first, threads=self._threads)
        part = _Steps(rows, self._steps.cells[start:stop], self._steps.stresses[start:stop],
                      self._steps.energies[start:stop])
        _warn_overflow(self._name, part.overflows(overflow))
        return part.frames(self.symbols, positions, forces)

    def _frame(self, k: int) -> Frame:
        return self._read(k, k + 1)[0]

    def _frames(self, start: int, stop: int) -> list[Frame]:
        return self._read(start, stop) if start < stop else []

    def _iterate(self) -> Iterator[Frame]:
        if self._compressed and self._path is not None:
            # Once through the file, rather than from its start for each range.
            yield from iter_outcar(self._path, steps=self._which, threads=self._threads)
            return
        yield from super()._iterate()

    def infos(self) -> FrameInfos:
        """Every step's atom count and info (energies, stress, step, calculator),
        from the scan: no table is read."""
        return FrameInfos(self._steps.steps[:, _NATOMS].copy(), self._steps.infos())

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every step's positions (Cartesian, Å) as a Dask array, steps x
        atoms x 3, in chunks that the tasks of a computation read from the
        file's path."""
        return frames_array(self._path, self._steps.steps, self._natoms, frames_per_chunk, read_step_rows)

    def _close(self) -> None:
        self._data = b""
        self._stack.close()


def read_step_rows(path: str, rows: NDArray[np.int64], first: int) -> NDArray[np.float64]:
    """The positions of some consecutive steps of an OUTCAR's scan, read
    from its path: what to_dask's tasks run."""
    start = int(rows[0, _OFFSET])
    data = read_range(path, start, int(rows[-1, _END]))
    positions, _, _ = Text(data, _KIND, label(path)).call(_io_rs_buffers.read_outcar_tables, data, rows, start,
                                                         threads=1)
    return positions


def open_outcar(file: Source, *, steps: Steps = "all", threads: int | None = None) -> OutcarTrajectory:
    """Opens an OUTCAR for random access to its steps (see OutcarTrajectory)."""
    return OutcarTrajectory(file, steps=steps, threads=threads)


def read_frames(file: Source, threads: int | None = None, steps: Steps = "all") -> list[Frame]:
    return read_outcar(file, steps=steps, threads=threads)


def iread_frames(file: Source, threads: int | None = None, steps: Steps = "all") -> Iterator[Frame]:
    return iter_outcar(file, steps=steps, threads=threads)


def open_frames(file: Source, threads: int | None = None, steps: Steps = "all") -> Trajectory:
    return OutcarTrajectory(file, steps=steps, threads=threads)


def sniff(head: bytes) -> bool:
    """Whether the first bytes of a file are an OUTCAR's: VASP's version line,
    then where it ran or the POTCARs."""
    return head.lstrip().startswith(b"vasp.") and (b"executed on" in head or b"POTCAR:" in head)
