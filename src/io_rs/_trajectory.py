"""A file of frames held open for random access, whatever its format.

Opening makes the frame table by one scan; frame k is then read alone, a
slice or a batch by as few reader calls as its runs of frames need. Each
format gives a subclass that says how to read frame k, a range of frames and
every frame in turn; what is common (indexing, slices, iteration, batches,
closing) is here.
"""

from __future__ import annotations

import operator
from collections.abc import Iterator
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, Self, SupportsIndex, overload

import numpy as np
from numpy.typing import NDArray

from ._frame import Frame, cell_origin

if TYPE_CHECKING:
    import dask.array


class FrameInfos(NamedTuple):
    """Every frame's atom count and per-frame values, read without the atom lines."""

    #: The number of atoms of each frame.
    natoms: NDArray[np.int64]
    #: Each frame's info: what its header or comment line gives.
    info: list[dict[str, Any]]


@dataclass(eq=False, slots=True)
class Batch:
    """Frames start to stop as one array per column, for a data loader: the
    atoms of every frame one after the other, `natoms` saying how many each
    frame has (np.cumsum(natoms) gives where each ends)."""

    #: The number of atoms of each frame.
    natoms: NDArray[np.int64]
    #: Every atom's position, as the files gave them: fractional when
    #: `fractional` (then of its frame's cell), else Cartesian in Å.
    positions: NDArray[np.float64]
    #: Whether `positions` are fractional.
    fractional: bool
    #: Every atom's symbol, or None where the file names no species.
    symbols: list[str] | None
    #: Each frame's cell (frames x 3 x 3; NaN rows for a frame without one),
    #: or None when no frame has one.
    cells: NDArray[np.float64] | None
    #: Each frame's periodicity (frames x 3).
    pbc: NDArray[np.bool_]
    #: Every per-atom array, one row per atom of every frame.
    arrays: dict[str, NDArray[Any]] = field(default_factory=dict)
    #: Each frame's info.
    info: list[dict[str, Any]] = field(default_factory=list)

    def __len__(self) -> int:
        return len(self.natoms)

    def cartesian_positions(self) -> NDArray[np.float64]:
        """Every atom's Cartesian position in Å."""
        if not self.fractional:
            return self.positions
        assert self.cells is not None
        # Frame by frame, as Frame.cartesian_positions multiplies: the same bits.
        cartesian = np.empty_like(self.positions)
        start = 0
        infos = self.info if len(self.info) == len(self.natoms) else [{}] * len(self.natoms)
        for count, cell, info in zip(self.natoms.tolist(), self.cells, infos):
            np.matmul(self.positions[start:start + count], cell, out=cartesian[start:start + count])
            origin = cell_origin(info)
            if origin is not None:
                cartesian[start:start + count] += origin
            start += count
        return cartesian

    def frames(self) -> list[Frame]:
        """The batch as frames (views of its arrays)."""
        bounds = np.concatenate([[0], np.cumsum(self.natoms)]).tolist()
        frames = []
        for k, (start, stop) in enumerate(zip(bounds, bounds[1:])):
            cell = None if self.cells is None or np.isnan(self.cells[k]).any() else self.cells[k]
            frames.append(Frame._make(None if self.symbols is None else self.symbols[start:stop],
                                      self.positions[start:stop], self.fractional and cell is not None, cell,
                                      self.pbc[k], self.info[k],
                                      {name: array[start:stop] for name, array in self.arrays.items()}))
        return frames


def batch_of(frames: list[Frame]) -> Batch:
    """A batch made from frames (for formats whose frames are few or read one by one)."""
    natoms = np.array([frame.natoms for frame in frames], dtype=np.int64)
    fractional = bool(frames) and all(frame.fractional for frame in frames)
    positions = [frame.positions if fractional else frame.cartesian_positions() for frame in frames]
    cells = None
    if any(frame.cell is not None for frame in frames):
        cells = np.stack([frame.cell if frame.cell is not None else np.full((3, 3), np.nan) for frame in frames])
    symbols: list[str] | None = None
    if frames and all(frame.symbols is not None for frame in frames):
        symbols = [symbol for frame in frames for symbol in frame.symbols or ()]
    arrays: dict[str, NDArray[Any]] = {}
    if frames:
        names = list(frames[0].arrays)
        for frame in frames[1:]:
            if list(frame.arrays) != names:
                raise ValueError(f"frames of a batch must have the same per-atom arrays: {names} and "
                                 f"{list(frame.arrays)}")
        for name in names:
            # Concatenating would make numbers of one frame text of another's kind.
            kinds = {np.asarray(frame.arrays[name]).dtype.kind for frame in frames}
            if len(kinds) > 1 and not kinds <= {"i", "u", "f", "b"}:
                raise ValueError(f"frames of a batch must have the same per-atom arrays: {name!r} holds text in "
                                 f"some frames and numbers in others")
        arrays = {name: np.concatenate([frame.arrays[name] for frame in frames]) for name in names}
    return Batch(natoms, np.concatenate(positions) if frames else np.zeros((0, 3)), fractional, symbols, cells,
                 np.stack([frame.pbc for frame in frames]) if frames else np.zeros((0, 3), bool), arrays,
                 [frame.info for frame in frames])


class Trajectory:
    """The frames of a file held open for random access: ``len(t)``,
    ``t[k]`` (frame k read alone; negative k counts from the end),
    ``t[a:b:c]`` (a list of frames), iteration, ``with``, ``t.batch(a, b)``
    and ``t.infos()``. A plain file is memory-mapped; a compressed one is
    scanned a window at a time, frame k then decompressed up to its end."""

    #: The format's name, as io_rs.formats() lists it.
    format: str

    def __init__(self, format: str) -> None:
        self.format = format
        self._closed = False

    # What each format gives.
    def __len__(self) -> int:
        raise NotImplementedError

    def _frame(self, k: int) -> Frame:
        raise NotImplementedError

    def _frames(self, start: int, stop: int) -> list[Frame]:
        """Frames start to stop; a format reads them in as few calls as it can."""
        return [self._frame(k) for k in range(start, stop)]

    def _iterate(self) -> Iterator[Frame]:
        """Every frame in turn."""
        count = len(self)
        for start in range(0, count, 256):
            yield from self._frames(start, min(start + 256, count))

    def _close(self) -> None:
        pass

    @property
    def natoms(self) -> NDArray[np.int64]:
        """The number of atoms of every frame."""
        return self.infos().natoms

    def infos(self) -> FrameInfos:
        """Every frame's atom count and info, without the atom lines where the
        format allows (extended XYZ: the comment lines' pairs; elsewhere what
        the headers give)."""
        frames = [self[k] for k in range(len(self))]
        return FrameInfos(np.array([frame.natoms for frame in frames], dtype=np.int64),
                          [frame.info for frame in frames])

    def batch(self, start: int = 0, stop: int | None = None) -> Batch:
        """Frames start to stop (as a slice takes them) as one array per column."""
        first, last, _ = slice(start, stop).indices(len(self))
        self._check_open()
        return batch_of(self._frames(first, max(first, last)))

    def to_dask(self, frames_per_chunk: int = 256) -> dask.array.Array:
        """Every frame's positions (as the file gives them) as a Dask array,
        frames x atoms x 3, in chunks that the tasks of a computation read from
        the file's path. Every frame must hold the same number of atoms."""
        raise ValueError(f"{self.format} files have no Dask arrays")

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on a closed file")

    @overload
    def __getitem__(self, k: SupportsIndex) -> Frame: ...

    @overload
    def __getitem__(self, k: slice) -> list[Frame]: ...

    def __getitem__(self, k: SupportsIndex | slice) -> Frame | list[Frame]:
        count = len(self)
        if isinstance(k, slice):
            self._check_open()
            picks = range(count)[k]
            if picks.step == 1:
                return self._frames(picks.start, picks.stop) if len(picks) else []
            return [self._frame(index) for index in picks]
        index = operator.index(k)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError(f"frame index {operator.index(k)} out of range for {count} frames")
        self._check_open()
        return self._frame(index)

    def __iter__(self) -> Iterator[Frame]:
        self._check_open()
        return self._iterate()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self)} frames"
        return f"<io_rs.Trajectory {self.format}: {state}>"

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._closed

    def close(self) -> None:
        """Releases the file (and its memory map); frames read stay valid."""
        self._closed = True
        self._close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
