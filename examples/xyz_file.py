"""Reading and writing multi-frame XYZ files.

Each frame is an atom-count line, a comment line and one line per atom
(symbol and Cartesian coordinates). The two header lines are handled here,
the atom lines by _io_rs, which also normalises symbols as read (fe -> Fe).
"""

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import _io_rs
from file_lines import split_lines


@dataclass(eq=False)
class XyzFrame:
    comment: str
    symbols: list[str]
    positions: NDArray[np.float64]


def parse_xyz(text: str) -> list[XyzFrame]:
    lines = split_lines(text)
    frames: list[XyzFrame] = []
    at = 0
    while at < len(lines):
        if not lines[at].strip():
            at += 1  # blank lines between or after frames
            continue
        try:
            natoms = int(lines[at])
        except ValueError:
            raise ValueError(f"XYZ: expected an atom count on line {at + 1}, got {lines[at]!r}") from None
        if natoms < 0 or at + 2 + natoms > len(lines):
            raise ValueError(f"XYZ: the frame at line {at + 1} is cut short")
        symbols, positions = _io_rs.parse_xyz_block_rs(lines[at + 2:at + 2 + natoms])
        frames.append(XyzFrame(lines[at + 1], symbols, positions))
        at += 2 + natoms
    return frames


def format_xyz(frames: list[XyzFrame]) -> str:
    parts = []
    for frame in frames:
        if "\n" in frame.comment or "\r" in frame.comment:
            raise ValueError("the comment must be a single line")
        positions = np.asarray(frame.positions, dtype=np.float64)
        parts.append(f"{len(frame.symbols)}\n{frame.comment}\n")
        parts.append(_io_rs.format_xyz_block_rs(frame.symbols, positions))
    return "".join(parts)


def read_xyz(path: str | os.PathLike[str]) -> list[XyzFrame]:
    return parse_xyz(Path(path).read_text(encoding="utf-8"))


def write_xyz(path: str | os.PathLike[str], frames: list[XyzFrame]) -> None:
    Path(path).write_text(format_xyz(frames), encoding="utf-8", newline="\n")
