"""The header that POSCAR/CONTCAR and XDATCAR files share: comment, scale
factor, three lattice vectors, species names and atom counts."""

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

HEADER_LINES = 7


@dataclass(eq=False)
class VaspHeader:
    comment: str
    scale: float
    # Rows are the lattice vectors a, b and c, before scaling.
    lattice: NDArray[np.float64]
    species: list[str]
    counts: list[int]

    @property
    def natoms(self) -> int:
        return sum(self.counts)


def parse_vasp_header(lines: list[str], kind: str) -> VaspHeader:
    """Reads the first seven lines; `kind` names the format in messages."""
    if len(lines) < HEADER_LINES:
        raise ValueError(f"{kind}: the header needs {HEADER_LINES} lines, the file has {len(lines)}")
    scale = lines[1].split()
    if len(scale) != 1:
        raise ValueError(f"{kind}: expected one scale factor, got {lines[1]!r}")
    lattice = np.array([_three_numbers(line, kind) for line in lines[2:5]], dtype=np.float64)
    # The species line is what VASP 5 and later write; a file without one
    # has its counts on line 6 and is refused here.
    species = lines[5].split()
    if not species or all(name.isdigit() for name in species):
        raise ValueError(f"{kind}: line 6 must name the species")
    try:
        counts = [int(count) for count in lines[6].split()]
    except ValueError:
        raise ValueError(f"{kind}: line 7 must hold the atom count of each species") from None
    if len(counts) != len(species):
        raise ValueError(f"{kind}: {len(species)} species but {len(counts)} counts")
    if any(count < 0 for count in counts):
        raise ValueError(f"{kind}: negative atom count in {lines[6]!r}")
    return VaspHeader(lines[0], float(scale[0]), lattice, species, counts)


def format_vasp_header(header: VaspHeader) -> str:
    """The seven header lines, numbers in the layout of the position blocks."""
    if "\n" in header.comment or "\r" in header.comment:
        raise ValueError("the comment must be a single line")
    if len(header.species) != len(header.counts):
        raise ValueError(f"{len(header.species)} species but {len(header.counts)} counts")
    lattice = np.asarray(header.lattice, dtype=np.float64)
    if lattice.shape != (3, 3):
        raise ValueError(f"the lattice must be 3 x 3, not {lattice.shape}")
    # Each species name stands right-aligned above its count.
    widths = [max(4, len(name) + 1, len(str(count)) + 1)
              for name, count in zip(header.species, header.counts)]
    out = [
        header.comment,
        f" {header.scale:19.16f}",
        *("".join(f" {value:19.16f}" for value in row) for row in lattice.tolist()),
        "".join(f"{name:>{width}}" for name, width in zip(header.species, widths)),
        "".join(f"{count:>{width}}" for count, width in zip(header.counts, widths)),
    ]
    return "\n".join(out) + "\n"


def _three_numbers(line: str, kind: str) -> list[float]:
    fields = line.split()
    if len(fields) < 3:
        raise ValueError(f"{kind}: a lattice vector needs three numbers, got {line!r}")
    return [float(value) for value in fields[:3]]
