"""The loops a host package runs without _io_rs: str.split, float and
numpy.array to read, %-formatting and ''.join to write, with the very
formats the module writes."""

import numpy as np

POSCAR_ROW = " %19.16f" * 3
POSCAR_FLAG = {True: "   F", False: "   T"}  # F: held fixed along that axis
XDATCAR_HEADER = "Direct configuration=%6d\n"
XDATCAR_ROW = "  %11.8f %11.8f %11.8f\n"
XYZ_ROW = "%-2s %22.15f %22.15f %22.15f\n"


def parse_poscar_positions(lines, selective):
    coords = []
    flags = [] if selective else None
    for line in lines:
        fields = line.split()
        coords.append((float(fields[0]), float(fields[1]), float(fields[2])))
        if selective:
            # Missing flags count as "T", as in the module.
            flags.append(tuple(f == "F" for f in (fields[3:6] + ["T", "T", "T"])[:3]))
    positions = np.array(coords, dtype=np.float64).reshape(-1, 3)
    return positions, (np.array(flags, dtype=bool).reshape(-1, 3) if selective else None)


def format_poscar_positions(coord, flags=None):
    if flags is None:
        return "".join(POSCAR_ROW % tuple(row) + "\n" for row in coord.tolist())
    return "".join(
        POSCAR_ROW % tuple(row) + "".join(POSCAR_FLAG[f] for f in held) + "\n"
        for row, held in zip(coord.tolist(), flags.tolist())
    )


def parse_xdatcar_coords(lines):
    coords = []
    for line in lines:
        fields = line.split()
        coords.append((float(fields[0]), float(fields[1]), float(fields[2])))
    return np.array(coords, dtype=np.float64).reshape(-1, 3)


def format_xdatcar_config(scaled_positions, index):
    return XDATCAR_HEADER % index + "".join(XDATCAR_ROW % tuple(row) for row in scaled_positions.tolist())


def normalise_symbol(field):
    lowered = field.lower()
    return lowered[:1].upper() + lowered[1:]


def parse_xyz_block(lines):
    symbols = []
    coords = []
    for line in lines:
        fields = line.split()
        symbols.append(normalise_symbol(fields[0]))
        coords.append((float(fields[1]), float(fields[2]), float(fields[3])))
    return symbols, np.array(coords, dtype=np.float64).reshape(-1, 3)


def format_xyz_block(symbols, positions):
    return "".join(XYZ_ROW % (s, x, y, z) for s, (x, y, z) in zip(symbols, positions.tolist()))
