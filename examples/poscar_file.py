"""Reading and writing whole POSCAR/CONTCAR files.

The header is read and written here; the atom position block goes through
_io_rs. Layout:

    comment
    scale factor
    lattice vector a
    lattice vector b
    lattice vector c
    species names
    atom counts
    Selective dynamics        (optional)
    Direct | Cartesian
    one position line per atom, with T/F flags under selective dynamics

Whatever follows the positions (a CONTCAR's velocities) is not read.
"""

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import _io_rs
from file_lines import split_lines
from vasp_header import HEADER_LINES, VaspHeader, format_vasp_header, parse_vasp_header


@dataclass(eq=False)
class Poscar(VaspHeader):
    positions: NDArray[np.float64]
    # Fractional coordinates (Direct) or Cartesian ones, in the file's units.
    direct: bool = True
    # Selective dynamics: True holds the atom fixed along that axis ('F').
    flags: NDArray[np.bool_] | None = None


def parse_poscar(text: str) -> Poscar:
    lines = split_lines(text)
    header = parse_vasp_header(lines, "POSCAR")
    at = HEADER_LINES
    selective = at < len(lines) and lines[at].lstrip()[:1] in ("S", "s")
    if selective:
        at += 1
    if at >= len(lines):
        raise ValueError("POSCAR: the Direct/Cartesian line is missing")
    mode = lines[at].lstrip()[:1]
    if mode not in ("D", "d", "C", "c", "K", "k"):
        raise ValueError(f"POSCAR: expected Direct or Cartesian, got {lines[at]!r}")
    at += 1
    block = lines[at:at + header.natoms]
    if len(block) < header.natoms:
        raise ValueError(f"POSCAR: {header.natoms} atom lines expected, {len(block)} found")
    positions, flags = _io_rs.parse_poscar_positions_rs(block, selective)
    return Poscar(header.comment, header.scale, header.lattice, header.species, header.counts,
                  positions, mode in ("D", "d"), flags)


def format_poscar(poscar: Poscar) -> str:
    positions = np.asarray(poscar.positions, dtype=np.float64)
    if positions.shape != (poscar.natoms, 3):
        raise ValueError(f"positions must be {poscar.natoms} x 3 for the counts given, "
                         f"not {positions.shape}")
    flags = None if poscar.flags is None else np.asarray(poscar.flags, dtype=np.bool_)
    head = format_vasp_header(poscar)
    if flags is not None:
        head += "Selective dynamics\n"
    head += "Direct\n" if poscar.direct else "Cartesian\n"
    return head + _io_rs.format_poscar_positions_rs(positions, flags)


def read_poscar(path: str | os.PathLike[str]) -> Poscar:
    return parse_poscar(Path(path).read_text(encoding="utf-8"))


def write_poscar(path: str | os.PathLike[str], poscar: Poscar) -> None:
    Path(path).write_text(format_poscar(poscar), encoding="utf-8", newline="\n")
