"""Frames to and from pymatgen's Structure and Molecule (the optional extra
io-rs[pymatgen]); pymatgen is imported only here, when asked for."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._frame import Frame

if TYPE_CHECKING:
    from pymatgen.core import Molecule, Structure  # type: ignore[import-not-found, unused-ignore]


def _pymatgen() -> Any:
    try:
        import pymatgen.core as core  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("to_pymatgen and from_pymatgen need pymatgen: pip install 'io-rs[pymatgen]'") from None
    return core


def to_pymatgen(frame: Frame) -> Structure | Molecule:
    core = _pymatgen()
    if frame.symbols is None:
        raise ValueError("pymatgen needs a species per atom, and the frame has no symbols")
    properties = {name: list(array) for name, array in frame.arrays.items()}
    if frame.cell is None:
        molecule: Molecule = core.Molecule(frame.symbols, frame.cartesian_positions(),
                                           site_properties=properties or None)
        return molecule
    lattice = core.Lattice(frame.cell, pbc=tuple(bool(flag) for flag in frame.pbc))
    structure: Structure = core.Structure(lattice, frame.symbols, frame.positions,
                                          coords_are_cartesian=not frame.fractional,
                                          site_properties=properties or None)
    return structure


def from_pymatgen(obj: Structure | Molecule) -> Frame:
    core = _pymatgen()
    symbols = [site.specie.symbol if hasattr(site.specie, "symbol") else str(site.specie) for site in obj]
    arrays = {name: np.array(values) for name, values in obj.site_properties.items()}
    if isinstance(obj, core.Structure):
        return Frame(obj.frac_coords, symbols, fractional=True, cell=obj.lattice.matrix, pbc=obj.lattice.pbc,
                     arrays=arrays)
    return Frame(obj.cart_coords, symbols, arrays=arrays)
