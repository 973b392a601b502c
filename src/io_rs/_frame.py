"""The frame every format is read into and written from.

A frame keeps its positions the way its file gave them, fractional or
Cartesian, and converts only when asked, so that a file written back in its
own format keeps its numbers exactly.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from pymatgen.core import Molecule, Structure  # type: ignore[import-not-found, unused-ignore]


def cell_origin(info: Mapping[str, Any]) -> NDArray[np.float64] | None:
    """Where the cell starts, where info gives it (a LAMMPS box's lower
    corner): fractional positions are measured from there."""
    if "origin" not in info:
        return None
    origin = np.asarray(info["origin"], dtype=np.float64)
    if origin.shape != (3,):
        raise ValueError(f"info['origin'] must be 3 numbers, not shape {origin.shape}")
    return origin


class Frame:
    """One structure: a frame of a trajectory, a POSCAR, an ionic step.

    ``positions`` are as the file gave them: fractional coordinates of
    ``cell`` when ``fractional`` is true, Cartesian coordinates in Å
    otherwise. ``cartesian_positions()`` and ``fractional_positions()`` give
    either kind, converting only when the frame holds the other.
    """

    __slots__ = ("symbols", "positions", "fractional", "cell", "pbc", "info", "arrays")

    #: One chemical symbol per atom, or None where the file names no species.
    symbols: list[str] | None
    #: One row per atom: fractional when `fractional`, else Cartesian in Å.
    positions: NDArray[np.float64]
    #: Whether `positions` are fractional coordinates of `cell`.
    fractional: bool
    #: The cell in Å, rows a, b, c; None for a frame without one.
    cell: NDArray[np.float64] | None
    #: Periodicity along a, b, c.
    pbc: NDArray[np.bool_]
    #: Per-frame values: the comment, energies, stress, the step, ...
    info: dict[str, Any]
    #: Per-atom arrays, one row per atom: forces, velocities, move_mask, ...
    arrays: dict[str, NDArray[Any]]

    def __init__(self, positions: ArrayLike, symbols: list[str] | None = None, *, fractional: bool = False,
                 cell: ArrayLike | None = None, pbc: ArrayLike | None = None,
                 info: Mapping[str, Any] | None = None, arrays: Mapping[str, ArrayLike] | None = None) -> None:
        self.positions = np.array(positions, dtype=np.float64, ndmin=2)
        if self.positions.size == 0:
            self.positions = self.positions.reshape(-1, 3)
        natoms = len(self.positions)
        if self.positions.shape != (natoms, 3):
            raise ValueError(f"positions must be N x 3, not {self.positions.shape}")
        if symbols is not None:
            symbols = [str(symbol) for symbol in symbols]
            if len(symbols) != natoms:
                raise ValueError(f"{len(symbols)} symbols for {natoms} atoms")
        self.symbols = symbols
        self.cell = None if cell is None else np.array(cell, dtype=np.float64)
        if self.cell is not None and self.cell.shape != (3, 3):
            raise ValueError(f"the cell must be 3 x 3 (rows a, b, c), not {self.cell.shape}")
        self.fractional = bool(fractional)
        if self.fractional and self.cell is None:
            raise ValueError("fractional positions need a cell")
        if pbc is None:
            self.pbc = np.full(3, self.cell is not None)
        else:
            self.pbc = np.array(np.broadcast_to(np.asarray(pbc, dtype=np.bool_), (3,)))
        self.info = dict(info or {})
        self.arrays = {}
        for name, values in (arrays or {}).items():
            array = np.asarray(values)
            if array.ndim == 0 or len(array) != natoms:
                raise ValueError(f"array {name!r} must have one row per atom ({natoms}), not shape {array.shape}")
            self.arrays[name] = array

    @classmethod
    def _make(cls, symbols: list[str] | None, positions: NDArray[np.float64], fractional: bool,
              cell: NDArray[np.float64] | None, pbc: NDArray[np.bool_], info: dict[str, Any],
              arrays: dict[str, NDArray[Any]]) -> Frame:
        """A frame from a reader's parts, taken as they are (already checked)."""
        frame = cls.__new__(cls)
        frame.symbols = symbols
        frame.positions = positions
        frame.fractional = fractional
        frame.cell = cell
        frame.pbc = pbc
        frame.info = info
        frame.arrays = arrays
        return frame

    @property
    def natoms(self) -> int:
        """The number of atoms."""
        return len(self.positions)

    def cartesian_positions(self) -> NDArray[np.float64]:
        """Cartesian positions in Å: `positions` themselves, or fractional
        ones multiplied by the cell, from the cell's origin where
        info["origin"] gives one (a LAMMPS box's lower corner)."""
        if not self.fractional:
            return self.positions
        assert self.cell is not None
        cartesian: NDArray[np.float64] = self.positions @ self.cell
        origin = cell_origin(self.info)
        if origin is not None:
            cartesian += origin
        return cartesian

    def fractional_positions(self) -> NDArray[np.float64]:
        """Fractional coordinates of the cell (from its origin where
        info["origin"] gives one): `positions` themselves, or Cartesian ones
        solved for; a frame without a cell raises ValueError."""
        if self.fractional:
            return self.positions
        if self.cell is None:
            raise ValueError("a frame without a cell has no fractional positions")
        origin = cell_origin(self.info)
        cartesian = self.positions if origin is None else self.positions - origin
        fractional: NDArray[np.float64] = np.linalg.solve(self.cell.T, cartesian.T).T
        return fractional

    def copy(self) -> Frame:
        """A frame whose arrays and dicts are copies of these."""
        return Frame._make(None if self.symbols is None else list(self.symbols), self.positions.copy(),
                           self.fractional, None if self.cell is None else self.cell.copy(), self.pbc.copy(),
                           {key: value.copy() if isinstance(value, np.ndarray) else value
                            for key, value in self.info.items()},
                           {key: value.copy() for key, value in self.arrays.items()})

    def __eq__(self, other: object) -> bool:
        """Equal in value: symbols, positions (and their kind), cell, pbc,
        info and arrays, NaN equal to NaN."""
        if not isinstance(other, Frame):
            return NotImplemented
        return (self.symbols == other.symbols and self.fractional == other.fractional
                and _same(self.positions, other.positions) and _same(self.cell, other.cell)
                and _same(self.pbc, other.pbc) and _same_mapping(self.info, other.info)
                and _same_mapping(self.arrays, other.arrays))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        parts = [f"natoms={self.natoms}"]
        if self.symbols is not None:
            parts.append(f"formula={formula(self.symbols)!r}")
        parts.append("fractional" if self.fractional else "cartesian")
        if self.cell is not None:
            parts.append("cell=[" + " ".join(f"{value:.6g}" for value in np.linalg.norm(self.cell, axis=1)) + "]")
            parts.append("pbc=" + "".join("T" if flag else "F" for flag in self.pbc))
        if self.info:
            parts.append(f"info={list(self.info)}")
        if self.arrays:
            parts.append(f"arrays={list(self.arrays)}")
        return f"Frame({', '.join(parts)})"

    def to_pymatgen(self) -> Structure | Molecule:
        """A pymatgen Structure where the frame has a cell, a Molecule where it
        has none; per-atom arrays become site properties. Needs pymatgen
        (pip install 'io-rs[pymatgen]')."""
        from ._pymatgen import to_pymatgen
        return to_pymatgen(self)

    @classmethod
    def from_pymatgen(cls, obj: Structure | Molecule) -> Frame:
        """A frame from a pymatgen Structure (fractional positions, its
        lattice as the cell) or Molecule (Cartesian, no cell); site properties
        become per-atom arrays."""
        from ._pymatgen import from_pymatgen
        return from_pymatgen(obj)


def formula(symbols: list[str]) -> str:
    """Symbols counted in order of first appearance: 'O2H4', 'OH2'."""
    return "".join(f"{name}{count if count > 1 else ''}" for name, count in Counter(symbols).items())


def _same(a: object, b: object) -> bool:
    if a is None or b is None:
        return a is b
    left, right = np.asarray(a), np.asarray(b)
    if left.shape != right.shape or left.dtype.kind != right.dtype.kind:
        return False
    if left.dtype.kind in "fc":
        return bool(np.array_equal(left, right, equal_nan=True))
    return bool(np.array_equal(left, right))


def _same_value(a: object, b: object) -> bool:
    if isinstance(a, (str, bytes, dict)) or isinstance(b, (str, bytes, dict)):
        return type(a) is type(b) and a == b
    try:
        return _same(a, b)
    except (TypeError, ValueError):
        return a == b


def _same_mapping(a: Mapping[str, object], b: Mapping[str, object]) -> bool:
    return a.keys() == b.keys() and all(_same_value(a[key], b[key]) for key in a)
