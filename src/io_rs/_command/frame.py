"""The frame every format is read into and written from.

A frame keeps its positions the way its file gave them, fractional or
Cartesian, and converts only when the target needs the other kind, so that a
file converted into its own format keeps its numbers exactly.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

from .._vasp import VaspHeader


class Refusal(Exception):
    """A frame the target format cannot hold, or options that do not fit: the
    message says which and why."""


@dataclass(eq=False, slots=True)
class Frame:
    """One frame in the terms shared by every format."""

    #: The frame's place in its file, from 0.
    index: int
    #: One chemical symbol per atom, or None (a VASP 4 file names no species).
    symbols: list[str] | None
    #: Fractional coordinates of `cell`, or None when the file gave Cartesian ones.
    fractional: NDArray[np.float64] | None
    #: Cartesian coordinates in Å, or None when the file gave fractional ones.
    cartesian: NDArray[np.float64] | None
    #: The cell in Å (rows a, b, c, scaled), or None.
    cell: NDArray[np.float64] | None
    #: The comment or title line.
    comment: str = ""
    #: The number of the frame in an XDATCAR (its place from 1 elsewhere).
    number: int = 0
    #: The VASP header as written (scale, lattice before scaling, species),
    #: for VASP sources; kept so that a VASP target writes it unchanged.
    header: VaspHeader | None = None
    #: Extended XYZ info (key=value pairs of the comment line).
    info: dict[str, object] = field(default_factory=dict)
    #: Per-atom columns beyond species and positions (velocities, move_mask, ...).
    arrays: dict[str, NDArray[np.generic]] = field(default_factory=dict)
    #: Periodicity along a, b, c.
    pbc: NDArray[np.bool_] = field(default_factory=lambda: np.ones(3, dtype=bool))
    #: The object the reader gave, for a target of the same format to write
    #: unchanged (a POSCAR's Cartesian positions before scaling, say).
    source: object = None

    @property
    def natoms(self) -> int:
        positions = self.fractional if self.fractional is not None else self.cartesian
        assert positions is not None
        return len(positions)

    def require_cell(self, target: str) -> NDArray[np.float64]:
        if self.cell is None:
            raise Refusal(f"frame {self.index + 1} has no cell, which {target} needs: give one with --cell")
        return self.cell

    def positions_cartesian(self) -> NDArray[np.float64]:
        if self.cartesian is not None:
            return self.cartesian
        assert self.fractional is not None and self.cell is not None
        cartesian: NDArray[np.float64] = self.fractional @ self.cell
        return cartesian

    def positions_fractional(self, target: str) -> NDArray[np.float64]:
        if self.fractional is not None:
            return self.fractional
        cell = self.require_cell(target)
        assert self.cartesian is not None
        fractional: NDArray[np.float64] = np.linalg.solve(cell.T, self.cartesian.T).T
        return fractional

    def require_symbols(self, target: str) -> list[str]:
        if self.symbols is None:
            raise Refusal(f"frame {self.index + 1} names no species (a VASP 4 header), which {target} needs")
        return self.symbols


def grouping(symbols: list[str]) -> tuple[list[str], list[int], NDArray[np.intp] | None]:
    """The species in order of first appearance, their counts, and the order
    that groups the atoms by species (stable within a species), or None when
    they are grouped already."""
    species = list(dict.fromkeys(symbols))
    rank = {name: k for k, name in enumerate(species)}
    keys = np.fromiter((rank[name] for name in symbols), dtype=np.intp, count=len(symbols))
    counts = np.bincount(keys, minlength=len(species)).tolist()
    if len(keys) < 2 or bool(np.all(keys[1:] >= keys[:-1])):
        return species, counts, None
    return species, counts, np.argsort(keys, kind="stable")
