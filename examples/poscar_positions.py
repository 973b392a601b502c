"""A host package's own POSCAR reader: it reads the header lines itself and
hands the block of atom lines to _io_rs.parse_poscar_positions_rs.

This is the smallest use of the per-atom functions; io_rs.read_poscar reads
whole files (VASP 4 headers, velocities, compressed files, error messages
naming the line) the same way.
"""

import numpy as np
from numpy.typing import NDArray

import _io_rs


def read_positions(text: str) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None]:
    """The positions and selective-dynamics flags of a POSCAR with a VASP 5
    header: comment, scale, three lattice lines, species, counts."""
    lines = text.split("\n")
    natoms = sum(int(count) for count in lines[6].split())
    at = 7
    selective = lines[at].lstrip()[:1] in ("S", "s")
    if selective:
        at += 1
    at += 1  # the Direct/Cartesian line
    return _io_rs.parse_poscar_positions_rs(lines[at:at + natoms], selective)
