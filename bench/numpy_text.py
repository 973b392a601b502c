"""NumPy's own text routines on the same blocks: numpy.loadtxt on the list of
lines, numpy.savetxt into an io.StringIO with the formats the module writes.

Where a line mixes numbers and letters, NumPy needs one loadtxt per dtype
(POSCAR flags) or a structured array with one format per field (savetxt of
flags and symbols); that is the idiomatic way and part of the timed work.
"""

import io

import numpy as np

from . import pure_python as pp


def parse_poscar_positions(lines, selective):
    positions = np.loadtxt(lines, dtype=np.float64, usecols=(0, 1, 2), ndmin=2)
    if not selective:
        return positions, None
    flags = np.loadtxt(lines, dtype="U1", usecols=(3, 4, 5), ndmin=2) == "F"
    return positions, flags


def _saved(rows, fmt, header=""):
    out = io.StringIO()
    out.write(header)
    np.savetxt(out, rows, fmt=fmt)
    return out.getvalue()


def format_poscar_positions(coord, flags=None):
    if flags is None:
        return _saved(coord[:, :3], pp.POSCAR_ROW)
    rows = np.empty(len(coord), dtype=[("x", "f8"), ("y", "f8"), ("z", "f8"), ("a", "U1"), ("b", "U1"), ("c", "U1")])
    rows["x"], rows["y"], rows["z"] = coord[:, 0], coord[:, 1], coord[:, 2]
    letters = np.where(flags[:, :3], "F", "T")
    rows["a"], rows["b"], rows["c"] = letters[:, 0], letters[:, 1], letters[:, 2]
    return _saved(rows, pp.POSCAR_ROW + "   %s   %s   %s")


def parse_xdatcar_coords(lines):
    return np.loadtxt(lines, dtype=np.float64, usecols=(0, 1, 2), ndmin=2)


def format_xdatcar_config(scaled_positions, index):
    return _saved(scaled_positions[:, :3], pp.XDATCAR_ROW[:-1], pp.XDATCAR_HEADER % index)


def parse_xyz_block(lines):
    # Positions only: loadtxt has no place for the symbol normalisation, so
    # this baseline does less work than the module.
    return np.loadtxt(lines, dtype=np.float64, usecols=(1, 2, 3), ndmin=2)


def format_xyz_block(symbols, positions):
    rows = np.empty(len(positions), dtype=[("s", object), ("x", "f8"), ("y", "f8"), ("z", "f8")])
    rows["s"] = symbols
    rows["x"], rows["y"], rows["z"] = positions[:, 0], positions[:, 1], positions[:, 2]
    return _saved(rows, pp.XYZ_ROW[:-1])
