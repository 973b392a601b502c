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

import re
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ._files import Text, fields

# Numbers as the atom-line readers spell them: no Fortran D exponents, no
# underscores, no digits outside ASCII.
_NUMBER = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)", re.ASCII | re.IGNORECASE)
_COUNT = re.compile(r"\d+", re.ASCII)
_AXES = "abc"


def _number(field: str) -> float | None:
    return float(field) if _NUMBER.fullmatch(field) else None


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
    def cell(self) -> NDArray[np.float64]:
        """The lattice vectors as rows, scaled: by the scale factor, or, when
        it is negative, to the volume it gives."""
        lattice = np.asarray(self.lattice, dtype=np.float64)
        volume = abs(float(np.linalg.det(lattice)))
        factor = self.scale if self.scale >= 0 else (-self.scale / volume) ** (1.0 / 3.0)
        cell: NDArray[np.float64] = lattice * factor
        return cell


@dataclass(slots=True)
class HeaderPlaces:
    """Where the lines of a header start, for messages about them."""

    scale: int
    species: int
    counts: int


def read_header(text: Text, pos: int) -> tuple[VaspHeader, HeaderPlaces, int]:
    """The header starting at byte pos, where its lines start, and the offset
    just past it."""
    comment, pos_scale = text.line(pos)
    if comment is None:
        raise text.expected(pos, "the comment line", None)
    line, pos = text.line(pos_scale)
    scale_fields = [] if line is None else fields(line)
    scale = _number(scale_fields[0]) if scale_fields else None
    if line is None or scale is None:
        raise text.expected(pos_scale, "the scale factor", line)
    if len(scale_fields) > 1 and _number(scale_fields[1]) is not None:
        raise text.expected(pos_scale, "one scale factor (three, one per axis, are not supported)", line)
    rows = []
    for axis in _AXES:
        at = pos
        line, pos = text.line(at)
        row = [_number(field) for field in fields(line or "")[:3]]
        if len(row) < 3 or None in row:
            raise text.expected(at, f"lattice vector {axis} (three numbers)", line)
        rows.append(row)
    pos_species = pos
    line, pos = text.line(pos)
    names = fields(line or "")
    if not names:
        raise text.expected(pos_species, "the species names or the atom counts", line)
    species: list[str] | None = names
    pos_counts = pos_species
    if all(_COUNT.fullmatch(name) for name in names):
        species, counts = None, names
    else:
        pos_counts = pos
        line, pos = text.line(pos)
        counts = fields(line or "")
        if len(counts) != len(names) or not all(_COUNT.fullmatch(count) for count in counts):
            raise text.expected(pos_counts, f"{len(names)} atom counts, one per species", line)
    lattice = np.array(rows, dtype=np.float64)
    header = VaspHeader(comment, scale, lattice, species, [int(count) for count in counts])
    return header, HeaderPlaces(pos_scale, pos_species, pos_counts), pos


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
        if len(fields(name)) != 1 or _COUNT.fullmatch(name):
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
