"""The blocks the three formatters write: exact lines, fixed column layouts,
empty blocks, and the shape checks with their messages in order."""

import math

import numpy as np
import pytest

import _io_rs

XDATCAR_HEADER = "Direct configuration=     1\n"
OUT_OF_BOUNDS = "ndarray: index out of bounds"
FLAGS_SHAPE = "format_poscar_positions_rs: coord and flags must have the same shape"


def xdatcar(rows, index=1):
    return _io_rs.format_xdatcar_config_rs(np.array(rows, dtype=np.float64).reshape(-1, 3), index)


def poscar(rows, flags=None):
    coord = np.array(rows, dtype=np.float64).reshape(-1, 3)
    if flags is None:
        return _io_rs.format_poscar_positions_rs(coord)
    return _io_rs.format_poscar_positions_rs(coord, np.array(flags, dtype=bool).reshape(-1, 3))


def xyz(symbols, rows):
    return _io_rs.format_xyz_block_rs(symbols, np.array(rows, dtype=np.float64).reshape(-1, 3))


# --- Exact blocks ------------------------------------------------------------

EXACT_BLOCKS = [
    ("xdatcar-fractions",
     xdatcar, ([[0.0, 0.5, 0.25]],),
     XDATCAR_HEADER + "   0.00000000  0.50000000  0.25000000\n"),
    ("xdatcar-negative-fills-its-field",
     xdatcar, ([[-0.125, 0.5, 1.0]],),
     XDATCAR_HEADER + "  -0.12500000  0.50000000  1.00000000\n"),
    ("xdatcar-wide-values-shift-the-line",
     xdatcar, ([[12.5, -12.5, 0.0]],),
     XDATCAR_HEADER + "  12.50000000 -12.50000000  0.00000000\n"),
    ("xdatcar-two-rows-and-specials",
     xdatcar, ([[math.nan, -0.0, math.inf], [0.001953125, -math.inf, 1.0]], 7),
     "Direct configuration=     7\n"
     "          NaN -0.00000000         inf\n"
     "   0.00195312        -inf  1.00000000\n"),
    ("poscar-plain",
     poscar, ([[0.0, 0.5, -0.25]],),
     "  0.0000000000000000  0.5000000000000000 -0.2500000000000000\n"),
    ("poscar-flags",
     poscar, ([[0.0, 0.5, -0.25]], [[True, False, True]]),
     "  0.0000000000000000  0.5000000000000000 -0.2500000000000000   F   T   F\n"),
    ("poscar-wide-values-shift-the-line",
     poscar, ([[123.0, -10.5, 1.0]], [[False, False, True]]),
     " 123.0000000000000000 -10.5000000000000000  1.0000000000000000   T   T   F\n"),
    ("poscar-two-rows",
     poscar, ([[1.0, 2.0, 3.0], [-1.0, math.nan, 0.75]],),
     "  1.0000000000000000  2.0000000000000000  3.0000000000000000\n"
     " -1.0000000000000000 " + " " * 16 + "NaN  0.7500000000000000\n"),
    ("xyz-one-letter-symbol",
     xyz, (["O"], [[0.0, 0.0, 0.5]]),
     "O       0.000000000000000      0.000000000000000      0.500000000000000\n"),
    ("xyz-two-letter-symbol-and-negative",
     xyz, (["Fe"], [[-1.5, 2.25, -0.0]]),
     "Fe     -1.500000000000000      2.250000000000000     -0.000000000000000\n"),
    ("xyz-three-letter-symbol-and-wide-value",
     xyz, (["Abc"], [[-1234567.5, 0.0, 1.0]]),
     "Abc -1234567.500000000000000      0.000000000000000      1.000000000000000\n"),
    ("xyz-symbols-unchanged-in-order",
     xyz, (["fe", "H", "CL"], [[1, 2, 3], [4, 5, 6], [7, 8, 9]]),
     "fe      1.000000000000000      2.000000000000000      3.000000000000000\n"
     "H       4.000000000000000      5.000000000000000      6.000000000000000\n"
     "CL      7.000000000000000      8.000000000000000      9.000000000000000\n"),
]


@pytest.mark.parametrize("write, args, text", [c[1:] for c in EXACT_BLOCKS],
                         ids=[c[0] for c in EXACT_BLOCKS])
def test_exact_block(write, args, text):
    assert write(*args) == text


# --- Column layout of ordinary values ----------------------------------------
#
# Values that fit their fields (0 <= x < 10 and -10 < x < 0 after rounding)
# give lines of one fixed length with the decimal points in fixed columns.

def ordinary_values(n):
    rng = np.random.default_rng(5)
    values = np.concatenate([rng.uniform(0, 9.99, n * 3 // 2), rng.uniform(-9.99, 0, n * 3 // 2)])
    return rng.permutation(values).reshape(n, 3)


LAYOUTS = [
    # name, writer of an (n, 3) array, header lines, line length (LF included),
    # 0-based columns of the decimal points, the other fixed characters
    ("xdatcar", lambda a: _io_rs.format_xdatcar_config_rs(a, 3), 1, 38, (4, 16, 28),
     {0: " ", 1: " ", 13: " ", 25: " "}),
    ("poscar", lambda a: _io_rs.format_poscar_positions_rs(a), 0, 61, (3, 23, 43),
     {0: " ", 20: " ", 40: " "}),
    ("poscar-flags",
     lambda a: _io_rs.format_poscar_positions_rs(a, np.arange(a.size).reshape(a.shape) % 2 == 0),
     0, 73, (3, 23, 43), {0: " ", 20: " ", 40: " ", 60: " ", 61: " ", 62: " ", 64: " ",
                          65: " ", 66: " ", 68: " ", 69: " ", 70: " "}),
    ("xyz", lambda a: _io_rs.format_xyz_block_rs(["Si"] * len(a), a), 0, 72, (9, 32, 55),
     {0: "S", 1: "i", 2: " ", 25: " ", 48: " "}),
]


@pytest.mark.parametrize("write, header_lines, length, points, fixed",
                         [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
def test_line_layout(write, header_lines, length, points, fixed):
    rows = 200
    text = write(ordinary_values(rows))
    assert "\r" not in text and text.endswith("\n")
    lines = text.split("\n")[header_lines:-1]
    assert len(lines) == rows
    for line in lines:
        assert len(line) + 1 == length
        assert tuple(i for i, c in enumerate(line) if c == ".") == points
        assert {i: line[i] for i in fixed} == fixed


def test_xdatcar_header_line_length():
    assert len(xdatcar([]).split("\n")[0]) + 1 == 28


def test_poscar_flag_columns_follow_the_flags():
    flags = [[True, False, False], [False, True, False], [False, False, True]]
    lines = poscar(np.eye(3), flags).splitlines()
    assert [line[60:] for line in lines] == ["   F   T   T", "   T   F   T", "   T   T   F"]


def test_poscar_flags_none_is_the_same_as_omitting_them():
    coord = np.array([[0.1, -0.2, 0.3], [4.0, 5.0, 6.0]])
    plain = _io_rs.format_poscar_positions_rs(coord)
    assert _io_rs.format_poscar_positions_rs(coord, None) == plain
    assert _io_rs.format_poscar_positions_rs(coord, flags=None) == plain
    assert _io_rs.format_poscar_positions_rs(coord=coord, flags=None) == plain


# --- Empty blocks --------------------------------------------------------------

EMPTY_BLOCKS = [
    ("xdatcar-0x3", lambda: _io_rs.format_xdatcar_config_rs(np.zeros((0, 3)), 1), XDATCAR_HEADER),
    ("xdatcar-0x2", lambda: _io_rs.format_xdatcar_config_rs(np.zeros((0, 2)), 1), XDATCAR_HEADER),
    ("xdatcar-0x0", lambda: _io_rs.format_xdatcar_config_rs(np.zeros((0, 0)), 12),
     "Direct configuration=    12\n"),
    ("poscar-0x3", lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 3))), ""),
    ("poscar-0x3-flags",
     lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 3)), np.zeros((0, 3), bool)), ""),
    ("poscar-0x2", lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 2))), ""),
    ("poscar-0x2-flags",
     lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 2)), np.zeros((0, 2), bool)), ""),
    ("poscar-0x0", lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 0))), ""),
    ("xyz-0x3", lambda: _io_rs.format_xyz_block_rs([], np.zeros((0, 3))), ""),
    ("xyz-0x0", lambda: _io_rs.format_xyz_block_rs([], np.zeros((0, 0))), ""),
    ("xyz-0x2", lambda: _io_rs.format_xyz_block_rs((), np.zeros((0, 2))), ""),
    ("xyz-0x5", lambda: _io_rs.format_xyz_block_rs([], np.zeros((0, 5))), ""),
]


@pytest.mark.parametrize("call, text", [c[1:] for c in EMPTY_BLOCKS],
                         ids=[c[0] for c in EMPTY_BLOCKS])
def test_empty_block(call, text):
    assert call() == text


# --- Shape checks and their order ---------------------------------------------

@pytest.mark.parametrize("coord_shape, flags_shape", [
    ((2, 3), (2, 4)),
    ((2, 4), (2, 3)),
    ((2, 3), (3, 3)),
    ((0, 3), (1, 3)),
    ((1, 3), (0, 3)),
    ((0, 3), (0, 4)),
    ((1, 2), (1, 3)),      # before the column check
    ((3, 0), (0, 0)),
])
def test_poscar_flags_of_another_shape(coord_shape, flags_shape):
    with pytest.raises(ValueError) as excinfo:
        _io_rs.format_poscar_positions_rs(np.zeros(coord_shape), np.zeros(flags_shape, bool))
    assert excinfo.type is ValueError
    assert str(excinfo.value) == FLAGS_SHAPE


@pytest.mark.parametrize("n_symbols, shape", [
    (2, (3, 3)),
    (1, (0, 3)),
    (0, (1, 3)),
    (3, (2, 2)),           # before the column check
    (1, (2, 0)),
    (12, (10, 3)),
])
def test_xyz_symbols_and_rows_differ(n_symbols, shape):
    with pytest.raises(ValueError) as excinfo:
        _io_rs.format_xyz_block_rs(["H"] * n_symbols, np.zeros(shape))
    assert excinfo.type is ValueError
    assert str(excinfo.value) == (f"format_xyz_block_rs: symbols length ({n_symbols}) "
                                  f"!= positions rows ({shape[0]})")


TOO_FEW_COLUMNS = [
    ("xdatcar-2x2", lambda: _io_rs.format_xdatcar_config_rs(np.zeros((2, 2)), 1)),
    ("xdatcar-1x0", lambda: _io_rs.format_xdatcar_config_rs(np.zeros((1, 0)), 1)),
    ("poscar-1x2", lambda: _io_rs.format_poscar_positions_rs(np.zeros((1, 2)))),
    ("poscar-3x1-flags",
     lambda: _io_rs.format_poscar_positions_rs(np.zeros((3, 1)), np.zeros((3, 1), bool))),
    ("xyz-1x2", lambda: _io_rs.format_xyz_block_rs(["H"], np.zeros((1, 2)))),
    ("xyz-2x0", lambda: _io_rs.format_xyz_block_rs(["H", "O"], np.zeros((2, 0)))),
]


@pytest.mark.parametrize("call", [c[1] for c in TOO_FEW_COLUMNS],
                         ids=[c[0] for c in TOO_FEW_COLUMNS])
def test_too_few_columns_is_an_internal_error(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    error = excinfo.type
    # Derived from BaseException directly, so `except Exception` lets it pass.
    assert error.__bases__ == (BaseException,)
    assert not issubclass(error, Exception)
    assert excinfo.value.args == (OUT_OF_BOUNDS,)
    assert str(excinfo.value) == OUT_OF_BOUNDS
    # The module keeps working after it.
    assert xyz(["H"], [[1.0, 2.0, 3.0]]).startswith("H       1.0")
