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

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ._files import SEPARATORS

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
