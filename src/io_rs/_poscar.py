"""Whole POSCAR/CONTCAR files.

    header                    (see _vasp: VASP 5 with species, VASP 4 without)
    Selective dynamics        (optional: first character S or s)
    Direct | Cartesian        (Cartesian when the first character is C, c, K or k)
    one position line per atom, with T/F flags under selective dynamics
    a separating line, blank or a mode word, and one velocity line per atom
                              (optional: a CONTCAR's velocities)

Whatever follows the velocities (the predictor-corrector block of a molecular
dynamics CONTCAR) is not read.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from itertools import islice
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

import _io_rs
import _io_rs_buffers

from ._files import Source, Target, Text, label, open_data, resolve_threads, write_data
from ._frame import Frame
from ._trajectory import Trajectory
from ._vasp import VaspHeader, format_header, header_of, layout_of, vasp_frame

_Scalar = TypeVar("_Scalar", bound=np.generic)


@dataclass(eq=False, slots=True)
class Poscar(VaspHeader):
    """A POSCAR or CONTCAR file: its header, positions and what comes with them.

    Every number is as written in the file: `positions` are fractional
    (Direct) or Cartesian in the file's units before scaling; `cell` gives
    the scaled lattice.
    """

    #: Whether the positions are Cartesian; False for Direct (fractional).
    cartesian: bool
    #: One row per atom, in the order of the counts.
    positions: NDArray[np.float64]
    #: Selective dynamics, one row per atom: True holds the atom fixed along
    #: that axis (F in the file); None without selective dynamics.
    flags: NDArray[np.bool_] | None = None
    #: A CONTCAR's velocities, one row per atom, or None.
    velocities: NDArray[np.float64] | None = None

    def to_frame(self) -> Frame:
        """The POSCAR as a Frame: positions fractional (Direct) or Cartesian
        in Å (scaled), the scaled cell, pbc all true; info holds the comment
        (and the scale factor where it is not 1); arrays hold "velocities"
        and "move_mask" (True where the atom may move: the reverse of
        `flags`), and "type" (species numbers from 1) for a header without
        species names."""
        arrays: dict[str, NDArray[np.generic]] = {}
        if self.velocities is not None:
            arrays["velocities"] = self.velocities
        if self.flags is not None:
            arrays["move_mask"] = ~self.flags
        return vasp_frame(self, np.asarray(self.positions, dtype=np.float64), not self.cartesian, {}, arrays)

    @classmethod
    def from_frame(cls, frame: Frame) -> Poscar:
        """A POSCAR of a frame: its atoms grouped by species (in order of first
        appearance, stably), Direct positions for fractional ones and
        Cartesian for Cartesian ones, flags from "move_mask" and velocities
        from "velocities" where the frame has them."""
        cartesian = not frame.fractional
        header, order, factor = layout_of(frame, "a POSCAR", frame.positions if cartesian else None)

        def grouped(array: NDArray[_Scalar]) -> NDArray[_Scalar]:
            return array if order is None else array[order]

        positions = grouped(frame.positions / factor if cartesian and factor != 1.0 else frame.positions)
        mask = frame.arrays.get("move_mask")
        flags = None
        if mask is not None:
            flags = ~np.broadcast_to(np.asarray(mask, dtype=np.bool_).reshape(len(mask), -1), (frame.natoms, 3))
            flags = grouped(np.ascontiguousarray(flags))
        velocities = frame.arrays.get("velocities")
        if velocities is not None:
            velocities = grouped(np.asarray(velocities, dtype=np.float64))
        return cls(header.comment, header.scale, header.lattice, header.species, header.counts, cartesian,
                   np.ascontiguousarray(positions), flags, velocities)


def _parse(text: Text, threads: int) -> Poscar:
    scanned, selective, cartesian, blocks = text.call(_io_rs_buffers.scan_poscar, text.data)
    header = header_of(scanned)

    def block(row: NDArray[np.int64], selective: bool) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None]:
        offset, line, natoms = (int(value) for value in row[:3])
        positions, flags, _ = text.call(_io_rs_buffers.read_poscar_block, text.data, offset, natoms, selective,
                                        (0, line, 0), threads=threads)
        return positions, flags

    positions, flags = block(blocks[0], selective)
    velocities = block(blocks[1], False)[0] if len(blocks) > 1 else None
    return Poscar(header.comment, header.scale, header.lattice, header.species, header.counts,
                  cartesian, positions, flags, velocities)


def read_poscar(file: Source, *, threads: int | None = None) -> Poscar:
    """Reads a POSCAR or CONTCAR file: a path (.gz, .bz2, .xz decompressed)
    or an open binary file. A malformed file raises ValueError naming the
    file and the line."""
    with open_data(file) as data:
        return _parse(Text(data, "POSCAR", label(file)), resolve_threads(threads))


def _rows(name: str, array: NDArray[_Scalar], natoms: int) -> NDArray[_Scalar]:
    if array.shape != (natoms, 3):
        raise ValueError(f"{name} must be {natoms} x 3 for the counts given, not {array.shape}")
    return array


def format_poscar(poscar: Poscar) -> str:
    """The text of a POSCAR/CONTCAR file, as write_poscar writes it."""
    natoms = sum(int(count) for count in poscar.counts)
    positions = _rows("positions", np.asarray(poscar.positions, dtype=np.float64), natoms)
    flags = None if poscar.flags is None else _rows("flags", np.asarray(poscar.flags, dtype=np.bool_), natoms)
    parts = [format_header(poscar)]
    if flags is not None:
        parts.append("Selective dynamics\n")
    parts.append("Cartesian\n" if poscar.cartesian else "Direct\n")
    parts.append(_io_rs.format_poscar_positions_rs(positions, flags))
    if poscar.velocities is not None and natoms:
        velocities = _rows("velocities", np.asarray(poscar.velocities, dtype=np.float64), natoms)
        parts.append("\n" + _io_rs.format_poscar_positions_rs(velocities))
    return "".join(parts)


def write_poscar(file: Target, poscar: Poscar) -> None:
    """Writes a POSCAR/CONTCAR file (with its velocities, if any) to a path
    (.gz, .bz2, .xz compressed) or an open binary file."""
    write_data(file, format_poscar(poscar).encode())


class _PoscarTrajectory(Trajectory):
    """A POSCAR as a trajectory of one frame."""

    def __init__(self, frame: Frame) -> None:
        super().__init__("poscar")
        self._only = frame

    def __len__(self) -> int:
        return 1

    def _frame(self, k: int) -> Frame:
        return self._only


def read_frames(file: Source, threads: int | None = None) -> list[Frame]:
    return [read_poscar(file, threads=threads).to_frame()]


def iread_frames(file: Source, threads: int | None = None) -> Iterator[Frame]:
    yield read_poscar(file, threads=threads).to_frame()


def open_frames(file: Source, threads: int | None = None) -> Trajectory:
    return _PoscarTrajectory(read_poscar(file, threads=threads).to_frame())


def write_frames(file: Target, frames: Iterable[Frame], decimals: int | None = None) -> int:
    """Writes the one frame of frames; none or more than one is refused."""
    chosen = list(islice(frames, 2))
    if len(chosen) != 1:
        raise ValueError(f"a POSCAR holds one frame, and {'none was' if not chosen else 'more than one was'} given")
    write_poscar(file, Poscar.from_frame(chosen[0]))
    return 1
