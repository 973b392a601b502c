"""Seeded atom blocks, written exactly as the formats write them.

Every generator returns a list of str lines that keep their LF, as a host
package reading a file line by line would hand them over.
"""

import numpy as np

SEED = 20_240_611

# One- and two-letter symbols, weighted roughly as in organic and materials
# structures: mostly light elements, a fair share of metals.
SYMBOLS = ("H", "C", "N", "O", "S", "P", "Fe", "Si", "Cl", "Na", "Cu", "Pt", "Au", "Mg")
SYMBOL_WEIGHTS = (30, 20, 8, 14, 3, 2, 4, 5, 3, 3, 3, 2, 2, 1)

# Selective-dynamics patterns: most atoms free, the slab bottom fixed, a few
# held along one or two axes.
FLAG_PATTERNS = ("T   T   T", "F   F   F", "T   T   F", "F   F   T", "F   T   F")
FLAG_WEIGHTS = (60, 28, 6, 4, 2)


def rng_for(kind: str, atoms: int) -> np.random.Generator:
    """The same block for the same kind and size in every run and process."""
    return np.random.default_rng([SEED, atoms, sum(kind.encode())])


def _weighted(rng, choices, weights, n):
    p = np.asarray(weights, dtype=float)
    return [choices[i] for i in rng.choice(len(choices), size=n, p=p / p.sum())]


def poscar_lines(atoms: int, selective: bool) -> list[str]:
    if selective:
        # Direct coordinates; relaxed structures leave a few atoms just
        # outside the cell, so some values are negative or above 1.
        rng = rng_for("poscar-sd", atoms)
        xyz = rng.random((atoms, 3))
        outside = rng.random((atoms, 3)) < 0.04
        xyz[outside] += rng.choice([-1.0, 1.0], size=outside.sum()) * rng.uniform(0.5, 1.04, outside.sum())
        flags = _weighted(rng, FLAG_PATTERNS, FLAG_WEIGHTS, atoms)
        return [" %19.16f %19.16f %19.16f   %s\n" % (x, y, z, f) for (x, y, z), f in zip(xyz.tolist(), flags)]
    # Cartesian coordinates in Angstrom, a cell placed around the origin.
    rng = rng_for("poscar", atoms)
    xyz = rng.uniform(-6.0, 42.0, (atoms, 3))
    return [" %19.16f %19.16f %19.16f\n" % (x, y, z) for x, y, z in xyz.tolist()]


def xdatcar_lines(atoms: int) -> list[str]:
    rng = rng_for("xdatcar", atoms)
    return ["  %11.8f %11.8f %11.8f\n" % tuple(row) for row in rng.random((atoms, 3)).tolist()]


def xyz_lines(atoms: int) -> list[str]:
    rng = rng_for("xyz", atoms)
    symbols = _weighted(rng, SYMBOLS, SYMBOL_WEIGHTS, atoms)
    xyz = rng.uniform(-50.0, 50.0, (atoms, 3))
    return ["%-2s %22.15f %22.15f %22.15f\n" % (s, x, y, z) for s, (x, y, z) in zip(symbols, xyz.tolist())]
