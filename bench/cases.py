"""The benchmark's table of cases: each of the six functions (POSCAR in both
modes) with the data it works on, its three Python-side implementations
(the module, pure Python, NumPy) and the matching routine of the floor
program. Adding a case means adding a row."""

from dataclasses import dataclass, field

import numpy as np

import _io_rs

from . import data, numpy_text, pure_python


@dataclass(frozen=True)
class Case:
    key: str  # also the floor program's routine name
    function: str  # the _io_rs function
    variant: str  # shown after the function name
    text: str  # which generated block the case reads or writes
    numpy_name: str
    # What numpy's result is compared with: XYZ loadtxt returns positions only.
    numpy_part: int | None = None
    parse: bool = field(init=False)

    def __post_init__(self):
        object.__setattr__(self, "parse", self.key.startswith("parse_"))

    @property
    def title(self):
        return f"{self.function}{f' ({self.variant})' if self.variant else ''}"

    def implementations(self):
        base = self.function.removesuffix("_rs")
        return {
            "module": getattr(_io_rs, self.function),
            "python": getattr(pure_python, base),
            "numpy": getattr(numpy_text, base),
        }


CASES = (
    Case("parse_poscar", "parse_poscar_positions_rs", "cartesian, no flags", "poscar", "numpy.loadtxt"),
    Case("parse_poscar_sd", "parse_poscar_positions_rs", "selective dynamics", "poscar_sd", "numpy.loadtxt x2"),
    Case("format_poscar", "format_poscar_positions_rs", "no flags", "poscar", "numpy.savetxt"),
    Case("format_poscar_sd", "format_poscar_positions_rs", "with flags", "poscar_sd", "numpy.savetxt"),
    Case("parse_xdatcar", "parse_xdatcar_coords_rs", "", "xdatcar", "numpy.loadtxt"),
    Case("format_xdatcar", "format_xdatcar_config_rs", "", "xdatcar", "numpy.savetxt"),
    Case("parse_xyz", "parse_xyz_block_rs", "", "xyz", "numpy.loadtxt (positions only)", numpy_part=1),
    Case("format_xyz", "format_xyz_block_rs", "", "xyz", "numpy.savetxt"),
)

TEXTS = {
    "poscar": lambda atoms: data.poscar_lines(atoms, selective=False),
    "poscar_sd": lambda atoms: data.poscar_lines(atoms, selective=True),
    "xdatcar": data.xdatcar_lines,
    "xyz": data.xyz_lines,
}


@dataclass(frozen=True)
class Size:
    key: str
    label: str
    atoms_per_call: int
    calls: int  # module and floor
    baseline_calls: int  # pure Python and NumPy: slow, so fewer calls of the same kind


class Block:
    """One generated text block of every kind, and the arrays read from it,
    which the formatters are given."""

    def __init__(self, atoms: int):
        self.atoms = atoms
        self.lines = {kind: make(atoms) for kind, make in TEXTS.items()}
        # The formatters' inputs come from the reference reader, so that a
        # fault in the module's reader cannot change what its writer is given.
        self.poscar = pure_python.parse_poscar_positions(self.lines["poscar"], False)
        self.poscar_sd = pure_python.parse_poscar_positions(self.lines["poscar_sd"], True)
        self.xdatcar = pure_python.parse_xdatcar_coords(self.lines["xdatcar"])
        self.xyz = pure_python.parse_xyz_block(self.lines["xyz"])

    def arguments(self, case: Case, start: int, stop: int, call: int):
        """The arguments of one call on atoms start..stop; call numbers the
        XDATCAR frames from 1."""
        if case.parse:
            lines = self.lines[case.text][start:stop]
            return (lines, case.key == "parse_poscar_sd") if case.text.startswith("poscar") else (lines,)
        rows = slice(start, stop)
        if case.key == "format_poscar":
            return (self.poscar[0][rows].copy(),)
        if case.key == "format_poscar_sd":
            return (self.poscar_sd[0][rows].copy(), self.poscar_sd[1][rows].copy())
        if case.key == "format_xdatcar":
            return (self.xdatcar[rows].copy(), call + 1)
        return (self.xyz[0][rows], self.xyz[1][rows].copy())

    def calls(self, case: Case, size: Size, count: int):
        """Argument tuples for count calls; call c works on block c modulo the
        number of whole blocks, as in the floor program."""
        blocks = self.atoms // size.atoms_per_call
        per_block = [
            self.arguments(case, b * size.atoms_per_call, (b + 1) * size.atoms_per_call, b) for b in range(min(blocks, count))
        ]
        if case.key == "format_xdatcar":
            return [(per_block[c % blocks][0], c + 1) for c in range(count)]
        return [per_block[c % blocks] for c in range(count)]


def same(expected, got) -> bool:
    """Identical results: same text, same symbols, bit-identical arrays."""
    if isinstance(expected, tuple):
        return isinstance(got, tuple) and len(got) == len(expected) and all(map(same, expected, got))
    if isinstance(expected, np.ndarray):
        if not isinstance(got, np.ndarray) or got.dtype != expected.dtype or got.shape != expected.shape:
            return False
        if expected.dtype == np.float64:
            return bool(np.array_equal(np.ascontiguousarray(expected).view(np.uint64), np.ascontiguousarray(got).view(np.uint64)))
        return bool(np.array_equal(expected, got))
    return type(expected) is type(got) and expected == got


def difference(expected, got) -> str:
    """Where two results part, in a few words."""
    if isinstance(expected, tuple) and isinstance(got, tuple) and len(expected) == len(got):
        for i, (e, g) in enumerate(zip(expected, got)):
            if not same(e, g):
                return f"element {i}: {difference(e, g)}"
    if isinstance(expected, np.ndarray) and isinstance(got, np.ndarray) and expected.shape == got.shape:
        if expected.dtype == got.dtype == np.float64:
            apart = np.ascontiguousarray(expected).view(np.uint64) != np.ascontiguousarray(got).view(np.uint64)
        else:
            apart = expected != got
        where = tuple(int(i) for i in np.argwhere(apart)[0])
        return f"{int(apart.sum())} of {apart.size} values differ, first at {where}: _io_rs {expected[where]!r}, baseline {got[where]!r}"
    if isinstance(expected, str) and isinstance(got, str):
        at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
        return f"texts differ from character {at}: _io_rs {expected[at:at + 40]!r}, baseline {got[at:at + 40]!r}"
    if isinstance(expected, list) and isinstance(got, list) and len(expected) == len(got):
        at = next(i for i, (a, b) in enumerate(zip(expected, got)) if a != b)
        return f"entry {at}: _io_rs {expected[at]!r}, baseline {got[at]!r}"
    return f"_io_rs gives {type(expected).__name__}, baseline {type(got).__name__}"
