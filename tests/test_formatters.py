"""The blocks the three formatters write: exact lines, column layouts, the
frame number, symbols and flags, arrays read in place in any layout, and
the shape checks with their messages in order."""

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
    return _io_rs.format_poscar_positions_rs(coord, None if flags is None else np.array(flags, bool).reshape(-1, 3))


def xyz(symbols, rows):
    return _io_rs.format_xyz_block_rs(symbols, np.array(rows, dtype=np.float64).reshape(-1, 3))


# One block of each writer, with every kind of value, written out; the fields
# are held to format() in test_number_writing.py.
EXACT_BLOCKS = [
    (xdatcar([[math.nan, -0.0, math.inf], [0.001953125, -math.inf, 1.0]], 7),
     "Direct configuration=     7\n          NaN -0.00000000         inf\n   0.00195312        -inf  1.00000000\n"),
    (poscar([[123.0, -10.5, 1.0], [-1.0, math.nan, 0.75]], [[False, False, True], [True, True, True]]),
     " 123.0000000000000000 -10.5000000000000000  1.0000000000000000   T   T   F\n"
     " -1.0000000000000000                 NaN  0.7500000000000000   F   F   F\n"),
    (poscar([[0.0, 0.5, -0.25]]), "  0.0000000000000000  0.5000000000000000 -0.2500000000000000\n"),
    (xyz(["Fe", "Abc", "fe"], [[-1.5, 2.25, -0.0], [-1234567.5, 0.0, 1.0], [7, 8, 9]]),
     "Fe     -1.500000000000000      2.250000000000000     -0.000000000000000\n"
     "Abc -1234567.500000000000000      0.000000000000000      1.000000000000000\n"
     "fe      7.000000000000000      8.000000000000000      9.000000000000000\n"),
]


@pytest.mark.parametrize("text, expected", EXACT_BLOCKS)
def test_exact_block(text, expected):
    assert text == expected


# Values that fit their fields give lines of one length with the decimal
# points in fixed columns: name, writer, header lines, line length (LF
# included), 0-based columns of the points, other fixed characters.
LAYOUTS = [
    (lambda a: _io_rs.format_xdatcar_config_rs(a, 3), 1, 38, (4, 16, 28), {0: " ", 1: " ", 13: " ", 25: " "}),
    (lambda a: _io_rs.format_poscar_positions_rs(a), 0, 61, (3, 23, 43), {0: " ", 20: " ", 40: " "}),
    (lambda a: _io_rs.format_poscar_positions_rs(a, np.arange(a.size).reshape(a.shape) % 2 == 0), 0, 73,
     (3, 23, 43), {20: " ", 60: " ", 61: " ", 62: " ", 64: " ", 65: " ", 66: " ", 68: " ", 69: " ", 70: " "}),
    (lambda a: _io_rs.format_xyz_block_rs(["Si"] * len(a), a), 0, 72, (9, 32, 55), {0: "S", 1: "i", 2: " ", 25: " "}),
]


@pytest.mark.parametrize("write, header_lines, length, points, fixed", LAYOUTS)
def test_line_layout(write, header_lines, length, points, fixed):
    rng = np.random.default_rng(5)
    values = rng.permutation(np.concatenate([rng.uniform(0, 9.99, 300), rng.uniform(-9.99, 0, 300)])).reshape(200, 3)
    lines = write(values).split("\n")
    assert lines[-1] == "" and len(lines) == 201 + header_lines
    for line in lines[header_lines:-1]:
        assert len(line) + 1 == length and "\r" not in line
        assert tuple(i for i, c in enumerate(line) if c == ".") == points
        assert {i: line[i] for i in fixed} == fixed


@pytest.mark.parametrize("index, written", [(0, "     0"), (42, "    42"), (123456, "123456"), (1234567, "1234567"),
                                            (2**64 - 1, "18446744073709551615")])
def test_frame_number(index, written):
    assert _io_rs.format_xdatcar_config_rs(np.zeros((0, 3)), index) == f"Direct configuration={written}\n"


# Symbols are padded to two code points (not bytes, not screen columns),
# written as given, never cut; only a symbol that would not read back as
# its line's one symbol field is refused.
SYMBOLS = ["H", "Fe", "Uuo", "\u00e9", "\u4e2d", "\U0001f600", "e\u0301", "fe", " H", "H\t", "\fH", "H\x0bX",
           "\x00", "\xa0", "\u3000", "\x85", "H\u2028X"]


def test_symbols_written_as_given():
    text = _io_rs.format_xyz_block_rs(SYMBOLS, np.zeros((len(SYMBOLS), 3)))
    zeros = (" " + "0.000000000000000".rjust(22)) * 3 + "\n"
    assert text == "".join(s + " " * (2 - len(s)) + zeros for s in SYMBOLS)
    read, _ = _io_rs.parse_xyz_block_rs(text.split("\n")[:-1])
    assert len(read) == len(SYMBOLS) and read[:3] == ["H", "Fe", "Uuo"]


@pytest.mark.parametrize("symbols, index", [
    ([""], 0), ([" "], 0), (["\t"], 0), (["H H"], 0), (["H\fX"], 0), (["\u00e9 \u00e9"], 0),
    (["H\n"], 0), (["\rH"], 0), (["H\r\n"], 0), (["H", "O", "C\n"], 2), (["H", "", "C", " "], 1),
    (["H"] * 999 + ["X Y"], 999),
])
def test_symbols_that_would_not_read_back(symbols, index):
    with pytest.raises(ValueError) as caught:
        _io_rs.format_xyz_block_rs(symbols, np.zeros((len(symbols), 3)))
    assert str(caught.value) == \
        f"format_xyz_block_rs: symbol at index {index} is not a single field: '{symbols[index]}'"


# --- arrays in any layout, read in place -----------------------------------------------

FORMATTERS = {
    "xdatcar": lambda a: _io_rs.format_xdatcar_config_rs(a, 9),
    "poscar": lambda a: _io_rs.format_poscar_positions_rs(a),
    "poscar-flags": lambda a: _io_rs.format_poscar_positions_rs(a, np.add.outer(*map(np.arange, a.shape)) % 3 == 0),
    "xyz": lambda a: _io_rs.format_xyz_block_rs(["H", "He", "Li", "Be", "B", "C"][:len(a)], a),
}


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def odd_strides(a):
    rows, cols = a.shape
    col_stride, row_stride = a.itemsize + 1, cols * (a.itemsize + 1) + 3
    buffer = bytearray(5 + (rows - 1) * row_stride + (cols - 1) * col_stride + a.itemsize)
    view = np.ndarray(a.shape, dtype=a.dtype, buffer=buffer, offset=5, strides=(row_stride, col_stride))
    view[...] = a
    return view


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


LAYOUTS_OF = {
    "fortran": np.asfortranarray,
    "stepped slice": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "reversed rows": lambda a: a[::-1].copy()[::-1],
    "reversed columns": lambda a: a[:, ::-1].copy()[:, ::-1],
    "transposed": lambda a: a.T.copy().T,
    "broadcast row": lambda a: np.broadcast_to(a[0], a.shape),
    "broadcast column": lambda a: np.broadcast_to(a[:, :1], a.shape),
    "unaligned": unaligned,
    "odd strides": odd_strides,
    "read-only": read_only,
    "matrix subclass": lambda a: a.view(np.matrix),
}


def coordinates(cols=5):
    a = np.random.default_rng(11).uniform(-5.0, 5.0, (6, cols))
    a[1, 1], a[2, 0], a[3, 2], a[4, 1], a[5, 2] = np.nan, -0.0, 1e20, -np.inf, 0.001953125
    return a


@pytest.mark.parametrize("layout", LAYOUTS_OF)
@pytest.mark.parametrize("name", FORMATTERS)
def test_any_layout_gives_the_text_of_a_c_copy(name, layout):
    write = FORMATTERS[name]
    view = LAYOUTS_OF[layout](coordinates())
    before = (view.tobytes(), view.strides)
    assert write(view) == write(np.array(view, order="C"))
    assert (view.tobytes(), view.strides) == before


@pytest.mark.parametrize("name", FORMATTERS)
def test_only_the_first_three_columns_count(name):
    wide = coordinates(8)
    other = wide.copy()
    other[:, 3:] = np.nan
    assert FORMATTERS[name](wide) == FORMATTERS[name](wide[:, :3].copy()) == FORMATTERS[name](other)


@pytest.mark.parametrize("layout", ["fortran", "reversed rows", "transposed", "broadcast row", "broadcast column",
                                    "unaligned", "odd strides"])
def test_flags_in_any_layout(layout):
    # Flag bytes as stored: any non-zero byte is a true flag, F.
    raw = np.array([[0, 1, 2, 0, 9], [255, 0, 128, 1, 0], [0, 0, 0, 3, 3], [64, 7, 0, 0, 1], [1, 1, 1, 0, 0],
                    [0, 254, 0, 5, 0]], dtype=np.uint8)
    flags = LAYOUTS_OF[layout](raw).view(np.bool_)
    coord = coordinates()
    lines = _io_rs.format_poscar_positions_rs(coord, flags).splitlines()
    letters = np.where(np.array(flags.view(np.uint8))[:, :3] != 0, "   F", "   T")
    assert lines == [p + "".join(row) for p, row in zip(_io_rs.format_poscar_positions_rs(coord).splitlines(), letters)]


# --- empty blocks and shape checks ---------------------------------------------------------

@pytest.mark.parametrize("call, text", [
    (lambda: _io_rs.format_xdatcar_config_rs(np.zeros((0, 2)), 1), XDATCAR_HEADER),
    (lambda: _io_rs.format_xdatcar_config_rs(np.zeros((0, 0)), 12), "Direct configuration=    12\n"),
    (lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 3))), ""),
    (lambda: _io_rs.format_poscar_positions_rs(np.zeros((0, 2)), np.zeros((0, 2), bool)), ""),
    (lambda: _io_rs.format_xyz_block_rs([], np.zeros((0, 3))), ""),
    (lambda: _io_rs.format_xyz_block_rs((), np.zeros((0, 0))), ""),
])
def test_empty_block(call, text):
    assert call() == text


@pytest.mark.parametrize("coord_shape, flags_shape", [
    ((2, 3), (2, 4)), ((2, 4), (2, 3)), ((2, 3), (3, 3)), ((0, 3), (1, 3)), ((1, 3), (0, 3)), ((0, 3), (0, 4)),
    ((1, 2), (1, 3)),  # before the column check
])
def test_poscar_flags_of_another_shape(coord_shape, flags_shape):
    with pytest.raises(ValueError) as caught:
        _io_rs.format_poscar_positions_rs(np.zeros(coord_shape), np.zeros(flags_shape, bool))
    assert str(caught.value) == FLAGS_SHAPE


@pytest.mark.parametrize("count, shape", [(2, (3, 3)), (1, (0, 3)), (0, (1, 3)), (3, (2, 2)), (2, (10**12, 3))])
def test_xyz_symbols_and_rows_differ(count, shape):
    positions = np.broadcast_to(np.zeros(shape[1]), shape)  # the length check comes before the columns
    with pytest.raises(ValueError) as caught:
        _io_rs.format_xyz_block_rs(["H H"] * count, positions)
    assert str(caught.value) == f"format_xyz_block_rs: symbols length ({count}) != positions rows ({shape[0]})"


@pytest.mark.parametrize("call", [
    lambda: _io_rs.format_xdatcar_config_rs(np.zeros((2, 2)), 1),
    lambda: _io_rs.format_xdatcar_config_rs(np.zeros((1, 0)), 1),
    lambda: _io_rs.format_poscar_positions_rs(np.zeros((1, 2))),
    lambda: _io_rs.format_poscar_positions_rs(np.zeros((3, 1)), np.zeros((3, 1), bool)),
    lambda: _io_rs.format_xyz_block_rs(["H H"], np.zeros((1, 2))),  # before the symbol check
    lambda: _io_rs.format_xyz_block_rs(["H", "O"], np.zeros((2, 0))),
])
def test_too_few_columns_is_an_internal_error(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert caught.type.__bases__ == (BaseException,)  # so `except Exception` lets it pass
    assert caught.value.args == (OUT_OF_BOUNDS,)
    assert xyz(["H"], [[1.0, 2.0, 3.0]]).startswith("H       1.0")  # and the module keeps working


@pytest.mark.parametrize("rows", [10**12, 3 * 10**17])  # the last overflows the byte count itself
@pytest.mark.parametrize("call", [
    lambda a: _io_rs.format_xdatcar_config_rs(a, 1),
    lambda a: _io_rs.format_poscar_positions_rs(a),
    lambda a: _io_rs.format_poscar_positions_rs(a, np.broadcast_to(np.ones(3, dtype=bool), a.shape)),
])
def test_output_that_cannot_fit_in_memory(rows, call):
    with pytest.raises(MemoryError):
        call(np.broadcast_to(np.zeros(3), (rows, 3)))
