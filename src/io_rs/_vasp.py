"""The header that POSCAR/CONTCAR and XDATCAR files share.

    comment
    scale factor              (negative: the cell volume)
    lattice vector a          (three numbers each)
    lattice vector b
    lattice vector c
    species names             (absent in VASP 4 files)
    atom counts, one per species

Line 6 holds the counts, not species names, when every field on it is a whole
number: that is a VASP 4 header, and the species are None.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._files import SEPARATORS
from ._frame import Frame

# A header as the scanners of _io_rs_buffers give it: comment, scale,
# lattice, species (None in VASP 4 files), counts, and the comment's line.
ScannedHeader = tuple[str, float, NDArray[np.float64], list[str] | None, list[int], int]


@dataclass(eq=False, slots=True)
class VaspHeader:
    """The header fields, as written in the file."""

    comment: str
    #: The scale factor; a negative one is the volume of the cell.
    scale: float
    #: The lattice vectors a, b and c as rows, before scaling.
    lattice: NDArray[np.float64]
    #: The species names, or None for a VASP 4 file without them.
    species: list[str] | None
    #: The number of atoms of each species, in the order of the atoms.
    counts: list[int]

    @property
    def natoms(self) -> int:
        """The number of atoms: the sum of the counts."""
        return sum(self.counts)

    @property
    def factor(self) -> float:
        """What the lattice (and Cartesian positions) are multiplied by: the
        scale factor, or, when it is negative, the factor that gives the
        cell that volume."""
        if self.scale >= 0:
            return float(self.scale)
        volume = abs(float(np.linalg.det(np.asarray(self.lattice, dtype=np.float64))))
        return float((-self.scale / volume) ** (1.0 / 3.0))

    @property
    def cell(self) -> NDArray[np.float64]:
        """The lattice vectors as rows, scaled: by the scale factor, or, when
        it is negative, to the volume it gives."""
        cell: NDArray[np.float64] = np.asarray(self.lattice, dtype=np.float64) * self.factor
        return cell


def header_of(scanned: ScannedHeader) -> VaspHeader:
    comment, scale, lattice, species, counts, _ = scanned
    return VaspHeader(comment, scale, lattice, species, counts)


def _is_count(text: str) -> bool:
    return text.isascii() and text.isdigit()


def header_parts(header: VaspHeader) -> tuple[str, str]:
    """The header's text before the lattice (comment, scale) and after it
    (species, counts), numbers in the layout of the POSCAR position block."""
    if "\n" in header.comment or "\r" in header.comment:
        raise ValueError(f"the comment must be a single line, not {header.comment!r}")
    counts = [int(count) for count in header.counts]
    if any(count < 0 for count in counts):
        raise ValueError(f"atom counts cannot be negative: {counts}")
    top = f"{header.comment}\n {float(header.scale):19.16f}\n"
    if header.species is None:
        return top, "".join(f"{count:>{max(4, len(str(count)) + 1)}}" for count in counts) + "\n"
    if len(header.species) != len(counts):
        raise ValueError(f"{len(header.species)} species but {len(counts)} atom counts")
    for name in header.species:
        if not name or any(c in SEPARATORS for c in name) or _is_count(name):
            raise ValueError(f"a species name must be one field that is not a whole number, not {name!r}")
    # Each species name stands right-aligned above its count.
    widths = [max(4, len(name) + 1, len(str(count)) + 1) for name, count in zip(header.species, counts)]
    names = "".join(f"{name:>{width}}" for name, width in zip(header.species, widths))
    return top, names + "\n" + "".join(f"{count:>{width}}" for count, width in zip(counts, widths)) + "\n"


def lattice_text(lattice: object) -> str:
    """The three lattice lines."""
    cell = np.asarray(lattice, dtype=np.float64)
    if cell.shape != (3, 3):
        raise ValueError(f"the lattice must be 3 x 3, not {cell.shape}")
    return "".join("".join(f" {value:19.16f}" for value in row) + "\n" for row in cell.tolist())


def format_header(header: VaspHeader) -> str:
    """The header lines, numbers in the layout of the POSCAR position block."""
    top, bottom = header_parts(header)
    return top + lattice_text(header.lattice) + bottom


def symbols_of(header: VaspHeader) -> list[str] | None:
    """One symbol per atom, from the species and counts; None without species."""
    if header.species is None:
        return None
    return [name for name, count in zip(header.species, header.counts) for _ in range(count)]


def types_of(header: VaspHeader) -> NDArray[np.int64]:
    """One species number per atom (from 1), for a header without species names."""
    return np.repeat(np.arange(1, len(header.counts) + 1, dtype=np.int64), header.counts)


def grouping(keys: Sequence[object]) -> tuple[list[object], list[int], NDArray[np.intp] | None]:
    """The species (names or numbers) in order of first appearance, their
    counts, and the order that groups the atoms by species (stable within a
    species), or None when they are grouped already."""
    species = list(dict.fromkeys(keys))
    rank = {name: k for k, name in enumerate(species)}
    ranks = np.fromiter((rank[name] for name in keys), dtype=np.intp, count=len(keys))
    counts = np.bincount(ranks, minlength=len(species)).tolist()
    if len(ranks) < 2 or bool(np.all(ranks[1:] >= ranks[:-1])):
        return species, counts, None
    return species, counts, np.argsort(ranks, kind="stable")


def layout_of(frame: Frame, what: str, cartesian: NDArray[np.float64] | None = None
              ) -> tuple[VaspHeader, NDArray[np.intp] | None, float]:
    """The header a VASP file writes for a frame, the order that groups its
    atoms by species (None when they are grouped), and the factor its
    Cartesian numbers are divided by. The scale factor of info["scale"] is
    kept where dividing by it gives back the frame's cell (and the Cartesian
    positions to be written) exactly; else they are written as they are,
    with scale 1."""
    if frame.cell is None:
        raise ValueError(f"{what} needs a cell, and the frame has none")
    if frame.symbols is not None:
        keys: Sequence[object] = frame.symbols
    elif "type" in frame.arrays:
        keys = [int(value) for value in np.asarray(frame.arrays["type"]).reshape(-1)]
    else:
        raise ValueError(f"{what} needs the atoms' species: the frame has no symbols and no 'type' array")
    species, counts, order = grouping(keys)
    names = [str(name) for name in species] if frame.symbols is not None else None
    comment = frame.info.get("comment")
    comment = (comment.splitlines() or [""])[0] if isinstance(comment, str) else " ".join(names or [])
    cell = np.asarray(frame.cell, dtype=np.float64)
    scale = frame.info.get("scale")
    factor = 1.0
    if isinstance(scale, (int, float)) and not isinstance(scale, bool) and scale > 0 and scale != 1.0:
        lattice = cell / float(scale)
        exact = np.array_equal(lattice * float(scale), cell)
        if exact and cartesian is not None:
            exact = np.array_equal(cartesian / float(scale) * float(scale), cartesian)
        if exact:
            factor = float(scale)
    lattice = cell / factor if factor != 1.0 else cell
    return VaspHeader(comment, factor, lattice, names, counts), order, factor


def vasp_frame(header: VaspHeader, positions: NDArray[np.float64], fractional: bool, info: dict[str, Any],
               arrays: dict[str, NDArray[Any]], cell: NDArray[np.float64] | None = None) -> Frame:
    """A frame from a VASP file's header and positions as written (Cartesian
    ones before scaling): the cell and Cartesian positions scaled, the
    comment (and a scale factor other than 1) in info."""
    factor = header.factor
    if not fractional and factor != 1.0:
        positions = positions * factor
    frame_info: dict[str, Any] = {"comment": header.comment}
    if header.scale != 1.0:
        frame_info["scale"] = float(header.scale)
    frame_info.update(info)
    if header.species is None:
        arrays = {"type": types_of(header), **arrays}
    return Frame._make(symbols_of(header), positions, fractional, header.cell if cell is None else cell,
                       np.ones(3, dtype=np.bool_), frame_info, arrays)
