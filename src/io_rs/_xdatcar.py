"""Whole XDATCAR trajectories.

    header                    (see _vasp: VASP 5 with species, VASP 4 without)
    Direct configuration=     1
    one line of fractional coordinates per atom
    Direct configuration=     2
    ...

Three layouts are read: a fixed cell (the header once), a variable cell (the
whole header again before each frame) and older files whose frames are opened
by a blank line instead of a "Direct configuration=" line (numbered 1, 2, ...
here). One scan (_io_rs_buffers.scan_xdatcar_frames) finds every header and
frame; runs of frames under one header are then read in one call each.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
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
from ._vasp import (ScannedHeader, VaspHeader, header_of, header_parts, lattice_text, layout_of, symbols_of,
                    types_of, vasp_frame)


@dataclass(eq=False, slots=True)
class Xdatcar(VaspHeader):
    """An XDATCAR trajectory: the header of its first frame and every frame.

    For a variable cell, `lattice` is the first frame's and `lattices` holds
    each frame's; every header must have the first one's scale factor,
    species and counts.
    """

    #: Fractional coordinates, frames x atoms x 3.
    frames: NDArray[np.float64]
    #: The number on each frame's opening line (1, 2, ... for frames opened
    #: by a blank line).
    numbers: NDArray[np.int64]
    #: Each frame's lattice (frames x 3 x 3, as written) for a variable cell,
    #: None for a fixed one.
    lattices: NDArray[np.float64] | None = None

    def to_frames(self) -> list[Frame]:
        """Every frame as a Frame (see XdatcarFrame.to_frame)."""
        lattices = self.lattices
        return [XdatcarFrame(number, positions, self.lattice if lattices is None else lattices[k]).to_frame(self)
                for k, (positions, number) in enumerate(zip(self.frames, self.numbers.tolist()))]

    @classmethod
    def from_frames(cls, frames: Iterable[Frame]) -> Xdatcar:
        """An XDATCAR of frames: the first frame's species (grouped, in order
        of first appearance) and scale for all, each frame's cell (a
        variable cell where they differ), step numbers from info["step"]
        (else the frame's place from 1)."""
        header: VaspHeader | None = None
        positions, numbers, lattices = [], [], []
        for frame in _xdatcar_frames(frames):
            header = header or frame[0]
            positions.append(frame[1].positions)
            numbers.append(frame[1].number)
            lattices.append(frame[1].lattice)
        if header is None:
            raise ValueError("an XDATCAR needs at least one frame")
        variable = any(not np.array_equal(lattice, lattices[0]) for lattice in lattices)
        return cls(header.comment, header.scale, lattices[0], header.species, header.counts, np.stack(positions),
                   np.array(numbers, dtype=np.int64), np.stack(lattices) if variable else None)


@dataclass(eq=False, slots=True)
class XdatcarFrame:
    """One frame of an XDATCAR trajectory."""

    #: The number on the frame's opening line, or its place from 1.
    number: int
    #: Fractional coordinates, atoms x 3.
    positions: NDArray[np.float64]
    #: The lattice of the header in force for this frame, as written (the
    #: same array for every frame of a fixed cell).
    lattice: NDArray[np.float64]

    def to_frame(self, header: VaspHeader) -> Frame:
        """The frame as a Frame, with the trajectory's header (species, scale,
        comment): fractional positions, the scaled lattice as the cell, pbc
        all true; info holds the comment, the step (the frame's number) and a
        scale factor other than 1."""
        own = VaspHeader(header.comment, header.scale, self.lattice, header.species, header.counts)
        return vasp_frame(own, self.positions, True, {"step": self.number}, {})


Run = tuple[VaspHeader, int, NDArray[np.float64], NDArray[np.int64]]


def _runs(pieces: Pieces, name: str, batch: int | None, headers: list[VaspHeader], threads: int) -> Iterator[Run]:
    """Runs of frames (about `batch` bytes of frames a run), scanned and read a
    window at a time: the header in force, how many headers came before it, the
    frames and their numbers as written. headers gets every header found."""
    first: ScannedHeader | None = None
    line, before = 1, 0
    while True:
        text = Text(pieces.data, "XDATCAR", name)
        found, table, (consumed, line_after, complete) = text.call(
            _io_rs_buffers.scan_xdatcar_frames, pieces.data, 0, (pieces.start, line, before), pieces.last, first)
        if first is None and found:
            first = found[0]
        owners = len(headers) - 1
        headers += [header_of(scanned) for scanned in found]
        for start, stop in runs(table, batch):
            offset, line_at, natoms, owner = (int(value) for value in table[start, :4])
            frames, numbers, _ = text.call(_io_rs_buffers.read_xdatcar_frames, pieces.data, offset - pieces.start,
                                           natoms, stop - start, (pieces.start, line_at, before + start),
                                           threads=threads)
            index = owners + 1 + owner if owner >= 0 else owners
            yield headers[index], index, frames, numbers
        before += len(table)
        line = line_after
        if complete:
            return
        pieces.advance(consumed)


def _numbered(numbers: NDArray[np.int64]) -> NDArray[np.int64]:
    """Numbers with the -1 of a frame opened by a blank line replaced by its place from 1."""
    if numbers.size and numbers.min() < 0:
        return np.where(numbers < 0, np.arange(1, len(numbers) + 1, dtype=np.int64), numbers)
    return numbers


def read_xdatcar(file: Source, *, threads: int | None = None) -> Xdatcar:
    """Reads a whole XDATCAR trajectory: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises FormatError (a ValueError)
    naming the file and the line."""
    headers: list[VaspHeader] = []
    with open_all(file) as pieces:
        runs_read = list(_runs(pieces, label(file), None, headers, resolve_threads(threads)))
    header = headers[0]
    if len(runs_read) == 1:
        frames, numbers = runs_read[0][2], runs_read[0][3]
    elif runs_read:
        frames = np.concatenate([run[2] for run in runs_read])
        numbers = np.concatenate([run[3] for run in runs_read])
    else:
        frames, numbers = np.zeros((0, header.natoms, 3)), np.zeros(0, dtype=np.int64)
    lattices = None
    if any(run[1] for run in runs_read):
        lattices = np.concatenate([np.broadcast_to(run[0].lattice, (len(run[3]), 3, 3)) for run in runs_read])
    return Xdatcar(header.comment, header.scale, header.lattice, header.species, header.counts,
                   frames, _numbered(numbers), lattices)


def iter_xdatcar(file: Source, *, threads: int | None = None) -> Iterator[XdatcarFrame]:
    """Reads an XDATCAR trajectory one frame at a time. A compressed file or
    an open stream is read a window of a few MB at a time, never whole; the
    file stays open until the iteration ends or the iterator is closed."""
    with open_pieces(file) as pieces:
        place = 0
        for current, _, frames, numbers in _runs(pieces, label(file), BATCH_BYTES, [], resolve_threads(threads)):
            for frame, number in zip(frames, numbers.tolist()):
                place += 1
                yield XdatcarFrame(number if number >= 0 else place, frame, current.lattice)


class XdatcarFile(FrameFile[XdatcarFrame]):
    """An XDATCAR trajectory held open for random access.

    Opening finds the offset of every frame without reading its coordinates;
    ``f[k]`` then reads frame k alone. ``len(f)``, iteration and ``with``
    work as for a sequence and a file::

        with io_rs.open_xdatcar("XDATCAR") as f:
            last = f[-1].positions
    """

    #: The header of the first frame.
    header: VaspHeader
    _lattices: list[NDArray[np.float64]]

    def __init__(self, file: Source, *, threads: int | None = None) -> None:
        super().__init__(file, "XDATCAR", threads)

    def _index(self, pieces: Pieces) -> NDArray[np.int64]:
        headers: list[VaspHeader] = []
        first: ScannedHeader | None = None
        tables, line, before = [], 1, 0
        while True:
            found, table, (consumed, line, complete) = Text(pieces.data, "XDATCAR", self._name).call(
                _io_rs_buffers.scan_xdatcar_frames, pieces.data, 0, (pieces.start, line, before), pieces.last, first)
            first = first or (found[0] if found else None)
            if len(table):  # header indexes of the whole file; -1 is the header in force before
                table[:, 3] = np.where(table[:, 3] < 0, len(headers) - 1, table[:, 3] + len(headers))
            headers += [header_of(scanned) for scanned in found]
            tables.append(table)
            before += len(table)
            if complete:
                break
            pieces.advance(consumed)
        self.header = headers[0]
        self._lattices = [header.lattice for header in headers]
        return np.concatenate(tables)

    def _read(self, text: Text, start: int, k: int) -> XdatcarFrame:
        offset, line, natoms, owner, number = (int(value) for value in self._table[k, :5])
        frames, _, _ = text.call(_io_rs_buffers.read_xdatcar_frames, text.data, offset - start, natoms, 1,
                                 (start, line, k), threads=self._threads)
        return XdatcarFrame(number if number >= 0 else k + 1, frames[0], self._lattices[owner])

    def _iterate(self) -> Iterator[XdatcarFrame]:
        assert self._path is not None
        return iter_xdatcar(self._path, threads=self._threads)

    def _read_chunk(self, start: int, stop: int) -> list[XdatcarFrame]:
        found = []
        for first, owner, frames, numbers in self._runs_of(start, stop):
            lattice = self._lattices[owner]
            found += [XdatcarFrame(number if number >= 0 else first + k + 1, frame, lattice)
                      for k, (frame, number) in enumerate(zip(frames, numbers.tolist()))]
        return found

    def _runs_of(self, start: int, stop: int) -> Iterator[tuple[int, int, NDArray[np.float64], NDArray[np.int64]]]:
        """Frames start to stop in as few calls as their runs need: each
        run's first frame, the index of its header, its frames and numbers."""
        if start >= stop:
            return
        text, base = self._text_for(start, stop)
        rows = self._table[start:stop]
        for first, last in runs(rows):
            offset, line, natoms, owner = (int(value) for value in rows[first, :4])
            frames, numbers, _ = text.call(_io_rs_buffers.read_xdatcar_frames, text.data, offset - base, natoms,
                                           last - first, (base, line, start + first), threads=self._threads)
            yield start + first, owner, frames, numbers

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every frame's fractional coordinates as a Dask array, frames x atoms
        x 3, in chunks of frames_per_chunk frames that the tasks of a Dask
        computation read from the file's path when they need them."""
        return frames_array(self._path, self._table, self.header.natoms, frames_per_chunk, read_frame_rows)

    @property
    def variable_cell(self) -> bool:
        """Whether the header is repeated before frames: a variable cell."""
        return len(self._lattices) > 1


def read_frame_rows(path: str, rows: NDArray[np.int64], first: int) -> NDArray[np.float64]:
    """The frames of some consecutive rows of an XDATCAR file's frame table,
    read from its path: what to_dask's tasks run."""
    start, stop = int(rows[0, 0]), int(rows[-1, 5])
    data = read_range(path, start, stop)
    text = Text(data, "XDATCAR", label(path))
    parts = []
    for begin, end in runs(rows):
        offset, line, natoms = (int(value) for value in rows[begin, :3])
        parts.append(text.call(_io_rs_buffers.read_xdatcar_frames, data, offset - start, natoms, end - begin,
                               (start, line, first + begin), threads=1)[0])
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def open_xdatcar(file: Source, *, threads: int | None = None) -> XdatcarFile:
    """Opens an XDATCAR trajectory for random access to its frames: a path
    (mapped into memory; .gz, .bz2, .xz decompressed into it) or an open
    binary file. The same as XdatcarFile(file)."""
    return XdatcarFile(file, threads=threads)


def _checked(xdatcar: Xdatcar) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64]]:
    """The frames, numbers and per-frame lattices of a trajectory to write."""
    natoms = sum(int(count) for count in xdatcar.counts)
    frames = np.asarray(xdatcar.frames, dtype=np.float64)
    if frames.ndim != 3 or frames.shape[1:] != (natoms, 3):
        raise ValueError(f"frames must be F x {natoms} x 3 for the counts given, not {frames.shape}")
    numbers = np.asarray(xdatcar.numbers)
    if numbers.shape != (len(frames),) or (numbers.size and numbers.dtype.kind not in "iu"):
        raise ValueError(f"{len(frames)} frames need as many whole frame numbers, not {numbers.shape} of {numbers.dtype}")
    if numbers.size and numbers.min() < 0:
        raise ValueError(f"frame numbers cannot be negative: {int(numbers.min())}")
    if xdatcar.lattices is None:
        lattices = np.broadcast_to(np.asarray(xdatcar.lattice, dtype=np.float64), (len(frames), 3, 3))
    else:
        lattices = np.asarray(xdatcar.lattices, dtype=np.float64)
        if lattices.shape != (len(frames), 3, 3):
            raise ValueError(f"lattices must be {len(frames)} x 3 x 3, one per frame, not {lattices.shape}")
    return frames, numbers.astype(np.int64), lattices


def _chunks(header: VaspHeader, frames: Iterable[XdatcarFrame], every_frame: bool) -> Iterator[bytes]:
    """The text of the frames a chunk at a time: the header first and again
    before every frame whose lattice differs from the one in force (before
    every frame when every_frame), frames written by one call per run of
    consecutive numbers under one header."""
    top, bottom = header_parts(header)
    lattice: NDArray[np.float64] | None = None
    natoms = header.natoms
    first = True
    for batch in batches(frames, lambda frame: natoms):
        parts: list[bytes] = []
        run: list[XdatcarFrame] = []

        def flush() -> None:
            if run:
                stack = np.stack([np.asarray(frame.positions, dtype=np.float64) for frame in run])
                if stack.shape[1:] != (natoms, 3):
                    raise ValueError(f"frame {run[0].number}: positions must be {natoms} x 3, not {stack.shape[1:]}")
                parts.append(_io_rs_buffers.format_xdatcar_frames(stack, run[0].number))
                run.clear()

        for frame in batch:
            cell = np.asarray(frame.lattice, dtype=np.float64)
            if first or every_frame or lattice is None or not np.array_equal(cell, lattice):
                flush()
                parts.append((top + lattice_text(cell) + bottom).encode())
                lattice, first = cell, False
            elif run and frame.number != run[-1].number + 1:
                flush()
            if frame.number < 0:
                raise ValueError(f"frame numbers cannot be negative: {frame.number}")
            run.append(frame)
        flush()
        yield b"".join(parts)
    if first:
        yield (top + lattice_text(header.lattice) + bottom).encode()


def _frames_of(xdatcar: Xdatcar) -> Iterator[XdatcarFrame]:
    frames, numbers, lattices = _checked(xdatcar)
    for frame, number, lattice in zip(frames, numbers.tolist(), lattices):
        yield XdatcarFrame(number, frame, lattice)


def format_xdatcar(xdatcar: Xdatcar) -> bytes:
    """The bytes of an XDATCAR file, as write_xdatcar writes them."""
    _checked(xdatcar)
    return b"".join(_chunks(xdatcar, _frames_of(xdatcar), xdatcar.lattices is not None))


def write_xdatcar(file: Target, xdatcar: Xdatcar) -> None:
    """Writes an XDATCAR trajectory, fixed-cell or (with `lattices`) variable-
    cell, to a path (.gz, .bz2, .xz compressed) or an open binary file, a
    chunk of frames at a time."""
    _checked(xdatcar)
    write_data(file, _chunks(xdatcar, _frames_of(xdatcar), xdatcar.lattices is not None))


def write_xdatcar_frames(file: Target, header: VaspHeader, frames: Iterable[XdatcarFrame]) -> int:
    """Writes frames as they come (from iter_xdatcar of another file, say) to
    an XDATCAR file, a chunk at a time, never holding the whole text: the
    header (its comment, scale, species and counts) with the first frame's
    lattice, then each frame under its number, the header repeated (a
    variable cell) before every frame whose lattice differs from the one in
    force. Returns the number of frames written."""
    written = 0

    def counted() -> Iterator[XdatcarFrame]:
        nonlocal written
        for frame in frames:
            written += 1
            yield frame

    write_data(file, _chunks(header, counted(), False))
    return written


def _xdatcar_frames(frames: Iterable[Frame]) -> Iterator[tuple[VaspHeader, XdatcarFrame]]:
    """Frames as XDATCAR frames under the first one's header: each must have
    its species, counts and scale."""
    header: VaspHeader | None = None
    for place, frame in enumerate(frames, 1):
        fractional = frame.fractional_positions() if frame.cell is not None else None
        own, order, _ = layout_of(frame, "an XDATCAR")
        if header is None:
            header = own
        elif own.species != header.species or own.counts != header.counts or own.scale != header.scale:
            raise ValueError(f"frame {place} holds {_listing(own)} where the first frame holds {_listing(header)}; "
                             "an XDATCAR has one species order and count for every frame")
        assert fractional is not None
        step = frame.info.get("step")
        number = step if isinstance(step, int) and not isinstance(step, bool) and step >= 0 else place
        positions = np.ascontiguousarray(fractional if order is None else fractional[order], dtype=np.float64)
        yield header, XdatcarFrame(number, positions, own.lattice)


def _listing(header: VaspHeader) -> str:
    names = header.species or [f"type{k}" for k in range(1, len(header.counts) + 1)]
    text = " ".join(f"{name}{count}" for name, count in zip(names, header.counts))
    return text if header.scale == 1.0 else f"{text} (scale {header.scale})"


_PERIODIC = np.ones(3, dtype=np.bool_)
_PERIODIC.flags.writeable = False


class _Frames:
    """Frames made from runs of an XDATCAR's frames: one cell array per
    header (read-only, shared by its frames)."""

    def __init__(self) -> None:
        self._cells: dict[int, tuple[NDArray[np.float64], list[str] | None, dict[str, object]]] = {}

    def of_run(self, header: VaspHeader, index: int, frames: NDArray[np.float64], numbers: list[int],
               first_place: int) -> list[Frame]:
        known = self._cells.get(index)
        if known is None:
            cell = np.array(header.cell)
            cell.flags.writeable = False
            base: dict[str, object] = {"comment": header.comment}
            if header.scale != 1.0:
                base["scale"] = float(header.scale)
            known = (cell, symbols_of(header), base)
            self._cells = {index: known}
        cell, symbols, base = known
        extra = {} if header.species is not None else {"type": types_of(header)}
        return [Frame._make(symbols, positions, True, cell, _PERIODIC,
                            {**base, "step": number if number >= 0 else first_place + k}, dict(extra))
                for k, (positions, number) in enumerate(zip(frames, numbers))]


def read_frames(file: Source, threads: int | None = None) -> list[Frame]:
    made = _Frames()
    found: list[Frame] = []
    with open_all(file) as pieces:
        for header, index, frames, numbers in _runs(pieces, label(file), None, [],
                                                    resolve_threads(threads)):
            found += made.of_run(header, index, frames, numbers.tolist(), len(found) + 1)
    return found


def iread_frames(file: Source, threads: int | None = None) -> Iterator[Frame]:
    made = _Frames()
    place = 1
    with open_pieces(file) as pieces:
        for header, index, frames, numbers in _runs(pieces, label(file), BATCH_BYTES, [], resolve_threads(threads)):
            run = made.of_run(header, index, frames, numbers.tolist(), place)
            place += len(run)
            yield from run


class _XdatcarTrajectory(Trajectory):
    def __init__(self, file: Source, threads: int | None) -> None:
        super().__init__("xdatcar")
        self._file = XdatcarFile(file, threads=threads)
        self._made = _Frames()

    def __len__(self) -> int:
        return len(self._file)

    def _frame(self, k: int) -> Frame:
        frame = self._file[k]
        header = VaspHeader(self._file.header.comment, self._file.header.scale, frame.lattice,
                            self._file.header.species, self._file.header.counts)
        return self._made.of_run(header, int(self._file._table[k, 3]), frame.positions[None], [frame.number],
                                 k + 1)[0]

    def _frames(self, start: int, stop: int) -> list[Frame]:
        return [frame for run in self._file._runs_of(start, stop) for frame in self._of(run, start)]

    def _of(self, run: tuple[int, int, NDArray[np.float64], NDArray[np.int64]], start: int) -> list[Frame]:
        first, owner, frames, numbers = run
        top = self._file.header
        header = VaspHeader(top.comment, top.scale, self._file._lattices[owner], top.species, top.counts)
        return self._made.of_run(header, owner, frames, numbers.tolist(), first + 1)

    def _iterate(self) -> Iterator[Frame]:
        if self._file._compressed:
            yield from iread_frames(self._file._path or "", self._file._threads)
            return
        for start, stop in chunks(self._file._table):
            yield from self._frames(start, stop)

    def infos(self) -> FrameInfos:
        top = self._file.header
        table = self._file._table
        base: dict[str, object] = {"comment": top.comment}
        if top.scale != 1.0:
            base["scale"] = float(top.scale)
        numbers = table[:, 4].tolist()
        return FrameInfos(table[:, 2].copy(), [{**base, "step": number if number >= 0 else k + 1}
                                               for k, number in enumerate(numbers)])

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        return self._file.to_dask(frames_per_chunk)

    @property
    def variable_cell(self) -> bool:
        """Whether the header is repeated before frames: a variable cell."""
        return self._file.variable_cell

    def _close(self) -> None:
        self._file.close()


def open_frames(file: Source, threads: int | None = None) -> Trajectory:
    return _XdatcarTrajectory(file, threads)


def write_frames(file: Target, frames: Iterable[Frame], decimals: int | None = None) -> int:
    """Writes frames to an XDATCAR as they come: the header of the first, the
    header again before each frame whose cell differs (a variable cell)."""
    converted = _xdatcar_frames(frames)
    first = next(converted, None)
    if first is None:
        raise ValueError("an XDATCAR needs at least one frame, and none was given")

    def stream() -> Iterator[XdatcarFrame]:
        yield first[1]
        for _, frame in converted:
            yield frame

    return write_xdatcar_frames(file, first[0], stream())
