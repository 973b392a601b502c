"""Whole XDATCAR trajectories.

    header                    (see _vasp: VASP 5 with species, VASP 4 without)
    Direct configuration=     1
    one line of fractional coordinates per atom
    Direct configuration=     2
    ...

Three layouts are read: a fixed cell (the header once), a variable cell (the
whole header again before each frame) and older files whose frames are opened
by a blank line instead of a "Direct configuration=" line (numbered 1, 2, ...
here). Frames go through _io_rs_buffers.read_xdatcar_frames, which stops
before any line that opens no frame; a header is read there and reading goes
on after it.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import _io_rs_buffers

from ._files import SEPARATORS, FrameFile, Source, Target, Text, label, open_data, write_data
from ._vasp import HeaderPlaces, VaspHeader, header_parts, lattice_text, read_header

_OPENER = b"Direct configuration="
_BYTE_FIELD = re.compile(rb"[^ \t\n\r\f]+")
_END, _FRAME, _HEADER = range(3)


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


def _one_field(raw: bytes | None) -> bool:
    return raw is not None and len(_BYTE_FIELD.findall(raw)) == 1


def _what_follows(text: Text, pos: int) -> tuple[int, int]:
    """What the lines at pos hold: the end of the file, a frame, or a header
    (then with the offset of its comment line). A header is a comment line
    followed by a line of one field, the scale factor."""
    raw, after = text.raw_line(pos)
    if raw is None:
        return _END, pos
    body = raw.strip(SEPARATORS)
    if body.startswith(_OPENER):
        return _FRAME, pos
    if body:
        if _one_field(text.raw_line(after)[0]):
            return _HEADER, pos
        raise text.expected(pos, f"{_OPENER.decode()!r}, a blank line or a repeated header", text.line(pos)[0])
    # Blank lines open a frame in older files, unless the line after them is
    # a scale factor: then the last blank line is the blank comment of a header.
    comment = pos
    while True:
        raw, next_pos = text.raw_line(after)
        if raw is None:
            return _END, pos
        body = raw.strip(SEPARATORS)
        if body:
            return (_HEADER, comment) if not body.startswith(_OPENER) and _one_field(body) else (_FRAME, pos)
        comment, after = after, next_pos


def _check_repeated(text: Text, first: VaspHeader, header: VaspHeader, places: HeaderPlaces) -> None:
    """A repeated header must keep the first one's scale factor, species and counts."""
    checks = [(header.scale == first.scale, places.scale, f"scale factor ({first.scale!r})"),
              (header.species == first.species, places.species, f"species ({' '.join(first.species or [])!r})"),
              (header.counts == first.counts, places.counts, f"atom counts ({' '.join(map(str, first.counts))!r})")]
    for same, at, what in checks:
        if not same:
            raise text.expected(at, f"the first header's {what}", text.line(at)[0])


def _runs(text: Text, header: VaspHeader, pos: int,
          batch: int | None) -> Iterator[tuple[VaspHeader, int, NDArray[np.float64], NDArray[np.int64]]]:
    """Runs of frames from pos on (at most `batch` frames a run): the header
    in force, how many headers came before it, the frames and their numbers."""
    natoms = header.natoms
    # A blank comment line cannot be told from a blank line opening a frame
    # by the frame reader: such files, and variable cells, go a frame at a time.
    careful = not header.comment.strip(" \t\f")
    current, repeated = header, 0
    while True:
        what, at = _what_follows(text, pos)
        if what == _END:
            return
        if what == _HEADER:
            current, places, pos = read_header(text, at)
            _check_repeated(text, header, current, places)
            careful, repeated = True, repeated + 1
            continue
        frames, numbers, end = text.call(_io_rs_buffers.read_xdatcar_frames, text.data, pos, natoms,
                                         1 if careful else batch)
        if not len(numbers):  # the frame reader agrees with _what_follows; never taken
            raise text.expected(pos, "a frame", text.line(pos)[0])
        yield current, repeated, frames, numbers
        pos = end


def _numbered(numbers: NDArray[np.int64]) -> NDArray[np.int64]:
    """Numbers with the -1 of a frame opened by a blank line replaced by its place from 1."""
    if numbers.size and numbers.min() < 0:
        return np.where(numbers < 0, np.arange(1, len(numbers) + 1, dtype=np.int64), numbers)
    return numbers


def read_xdatcar(file: Source) -> Xdatcar:
    """Reads a whole XDATCAR trajectory: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises ValueError naming the
    file and the line."""
    with open_data(file) as data:
        text = Text(data, "XDATCAR", label(file))
        header, _, pos = read_header(text, 0)
        runs = list(_runs(text, header, pos, None))
    if len(runs) == 1:
        frames, numbers = runs[0][2], runs[0][3]
    elif runs:
        frames = np.concatenate([run[2] for run in runs])
        numbers = np.concatenate([run[3] for run in runs])
    else:
        frames, numbers = np.zeros((0, header.natoms, 3)), np.zeros(0, dtype=np.int64)
    lattices = None
    if any(run[1] for run in runs):
        lattices = np.concatenate([np.broadcast_to(run[0].lattice, (len(run[3]), 3, 3)) for run in runs])
    return Xdatcar(header.comment, header.scale, header.lattice, header.species, header.counts,
                   frames, _numbered(numbers), lattices)


def iter_xdatcar(file: Source) -> Iterator[XdatcarFrame]:
    """Reads an XDATCAR trajectory one frame at a time (the file stays open
    until the iteration ends or the iterator is closed)."""
    with open_data(file) as data:
        text = Text(data, "XDATCAR", label(file))
        header, _, pos = read_header(text, 0)
        place = 0
        for current, _, frames, numbers in _runs(text, header, pos, 1):
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
    _owners: NDArray[np.intp]

    def __init__(self, file: Source) -> None:
        super().__init__(file, "XDATCAR")

    def _index(self, text: Text) -> NDArray[np.int64]:
        self.header, _, pos = read_header(text, 0)
        natoms = self.header.natoms
        self._lattices = [self.header.lattice]
        offsets: list[NDArray[np.int64]] = []
        owners: list[int] = []
        careful = not self.header.comment.strip(" \t\f")
        while True:
            what, at = _what_follows(text, pos)
            if what == _END:
                break
            if what == _HEADER:
                header, places, pos = read_header(text, at)
                _check_repeated(text, self.header, header, places)
                self._lattices.append(header.lattice)
                careful = True
                continue
            found = (np.array([pos], dtype=np.int64) if careful
                     else text.call(_io_rs_buffers.index_xdatcar_frames, text.data, pos, natoms))
            pos = text.call(_io_rs_buffers.read_xdatcar_frames, text.data, int(found[-1]), natoms, 1)[2]
            offsets.append(found)
            owners += [len(self._lattices) - 1] * len(found)
        self._owners = np.array(owners, dtype=np.intp)
        return np.concatenate(offsets) if offsets else np.zeros(0, dtype=np.int64)

    def _read(self, text: Text, k: int) -> XdatcarFrame:
        frames, numbers, _ = text.call(_io_rs_buffers.read_xdatcar_frames, text.data, int(self._offsets[k]),
                                       self.header.natoms, 1)
        number = int(numbers[0])
        return XdatcarFrame(number if number >= 0 else k + 1, frames[0], self._lattices[self._owners[k]])

    @property
    def variable_cell(self) -> bool:
        """Whether the header is repeated before frames: a variable cell."""
        return len(self._lattices) > 1


def open_xdatcar(file: Source) -> XdatcarFile:
    """Opens an XDATCAR trajectory for random access to its frames: a path
    (mapped into memory; .gz, .bz2, .xz decompressed into it) or an open
    binary file. The same as XdatcarFile(file)."""
    return XdatcarFile(file)


def format_xdatcar(xdatcar: Xdatcar) -> bytes:
    """The bytes of an XDATCAR file, as write_xdatcar writes them."""
    natoms = sum(int(count) for count in xdatcar.counts)
    frames = np.asarray(xdatcar.frames, dtype=np.float64)
    if frames.ndim != 3 or frames.shape[1:] != (natoms, 3):
        raise ValueError(f"frames must be F x {natoms} x 3 for the counts given, not {frames.shape}")
    numbers = np.asarray(xdatcar.numbers)
    if numbers.shape != (len(frames),) or (numbers.size and numbers.dtype.kind not in "iu"):
        raise ValueError(f"{len(frames)} frames need as many whole frame numbers, not {numbers.shape} of {numbers.dtype}")
    if numbers.size and numbers.min() < 0:
        raise ValueError(f"frame numbers cannot be negative: {int(numbers.min())}")
    top, bottom = header_parts(xdatcar)
    if xdatcar.lattices is None or not len(frames):
        parts = [(top + lattice_text(xdatcar.lattice) + bottom).encode()]
        # One call per run of consecutive numbers.
        starts = [0, *(np.flatnonzero(np.diff(numbers) != 1) + 1).tolist()]
        for start, stop in zip(starts, [*starts[1:], len(frames)]):
            if stop > start:
                parts.append(_io_rs_buffers.format_xdatcar_frames(frames[start:stop], int(numbers[start])))
        return b"".join(parts)
    lattices = np.asarray(xdatcar.lattices, dtype=np.float64)
    if lattices.shape != (len(frames), 3, 3):
        raise ValueError(f"lattices must be {len(frames)} x 3 x 3, one per frame, not {lattices.shape}")
    parts = []
    for k, lattice in enumerate(lattices):
        parts.append((top + lattice_text(lattice) + bottom).encode())
        parts.append(_io_rs_buffers.format_xdatcar_frames(frames[k:k + 1], int(numbers[k])))
    return b"".join(parts)


def write_xdatcar(file: Target, xdatcar: Xdatcar) -> None:
    """Writes an XDATCAR trajectory, fixed-cell or (with `lattices`) variable-
    cell, to a path (.gz, .bz2, .xz compressed) or an open binary file."""
    write_data(file, format_xdatcar(xdatcar))
