"""Reading and writing whole XDATCAR trajectories of a fixed cell.

The header (comment, scale factor, lattice, species, counts) is read and
written here; each frame, opened by its "Direct configuration=" line, goes
through _io_rs. A variable-cell trajectory, which repeats the header before
every frame, is refused.
"""

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import _io_rs
from file_lines import split_lines
from vasp_header import HEADER_LINES, VaspHeader, format_vasp_header, parse_vasp_header

FRAME_OPENING = "Direct configuration="


@dataclass(eq=False)
class Xdatcar(VaspHeader):
    # Fractional coordinates, frames x atoms x 3.
    frames: NDArray[np.float64]
    # The number on each frame's opening line; VASP counts from 1.
    numbers: list[int]


def parse_xdatcar(text: str) -> Xdatcar:
    lines = split_lines(text)
    header = parse_vasp_header(lines, "XDATCAR")
    natoms = header.natoms
    frames: list[NDArray[np.float64]] = []
    numbers: list[int] = []
    at = HEADER_LINES
    while at < len(lines):
        opening = lines[at]
        if not opening.strip():
            at += 1  # blank lines between or after frames
            continue
        if not opening.startswith(FRAME_OPENING):
            raise ValueError(f"XDATCAR: expected {FRAME_OPENING!r} on line {at + 1}, got {opening!r}")
        try:
            numbers.append(int(opening[len(FRAME_OPENING):]))
        except ValueError:
            raise ValueError(f"XDATCAR: no frame number in {opening!r}") from None
        block = lines[at + 1:at + 1 + natoms]
        if len(block) < natoms:
            raise ValueError(f"XDATCAR: frame {numbers[-1]} has {len(block)} of {natoms} atom lines")
        frames.append(_io_rs.parse_xdatcar_coords_rs(block))
        at += 1 + natoms
    stacked = np.stack(frames) if frames else np.zeros((0, natoms, 3))
    return Xdatcar(header.comment, header.scale, header.lattice, header.species, header.counts,
                   stacked, numbers)


def format_xdatcar(xdatcar: Xdatcar) -> str:
    frames = np.asarray(xdatcar.frames, dtype=np.float64)
    if frames.ndim != 3 or frames.shape[1:] != (xdatcar.natoms, 3):
        raise ValueError(f"frames must be F x {xdatcar.natoms} x 3, not {frames.shape}")
    if len(xdatcar.numbers) != len(frames):
        raise ValueError(f"{len(frames)} frames but {len(xdatcar.numbers)} frame numbers")
    parts = [format_vasp_header(xdatcar)]
    parts += [_io_rs.format_xdatcar_config_rs(frame, number)
              for frame, number in zip(frames, xdatcar.numbers)]
    return "".join(parts)


def read_xdatcar(path: str | os.PathLike[str]) -> Xdatcar:
    return parse_xdatcar(Path(path).read_text(encoding="utf-8"))


def write_xdatcar(path: str | os.PathLike[str], xdatcar: Xdatcar) -> None:
    Path(path).write_text(format_xdatcar(xdatcar), encoding="utf-8", newline="\n")
