"""parse_xyz_block_rs: the atom lines of a simple XYZ file, a symbol and
three Cartesian coordinates per line. How symbols are normalised is covered
in test_symbol_normalisation.py."""

import math

import numpy as np
import pytest

import _io_rs

parse = _io_rs.parse_xyz_block_rs

EMPTY_MSG = "XYZ: empty line at atom index {}"
COUNT_MSG = "XYZ: not enough position fields on atom line {}"
COORD_MSG = "XYZ: cannot parse coordinate '{}' on line {}: invalid float literal"

SEPARATORS = ["\t", "\n", "\f", "\r", " "]
# Whitespace to Python's str.split, yet ordinary field characters here.
NON_SEPARATORS = ["\x0b", "\x00", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\u00a0", "\u1680",
                  "\u2000", "\u2007", "\u200a", "\u200b", "\u2028", "\u2029", "\u202f",
                  "\u205f", "\u3000", "\ufeff"]


def fails_with(lines, message):
    with pytest.raises(ValueError) as excinfo:
        parse(lines)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message


def float_key(x):
    """Compares floats by value and sign bit; all NaNs of one sign are alike."""
    x = float(x)
    return ("nan" if math.isnan(x) else x, math.copysign(1.0, x))


# --- results -----------------------------------------------------------------

def test_empty_block():
    result = parse([])
    assert type(result) is tuple and len(result) == 2
    symbols, positions = result
    assert symbols == [] and type(symbols) is list
    assert positions.dtype == np.float64 and positions.shape == (0, 3)


def test_mixed_separators():
    symbols, positions = parse(["  C\t0.5  1.5 2.5\r\n"])
    assert symbols == ["C"]
    assert positions.tolist() == [[0.5, 1.5, 2.5]]


def test_block_values_and_array_layout():
    lines = ["H 0.0 0.0 0.74", "o -1.5e2 +2.25 .75", "CL\t7\t8\t9\n", "fe 1e-5 -0.0 12345.678"]
    symbols, positions = parse(lines)
    assert type(symbols) is list and all(type(s) is str for s in symbols)
    assert symbols == ["H", "O", "Cl", "Fe"]
    assert positions.dtype == np.float64 and positions.shape == (4, 3)
    assert positions.flags.c_contiguous and positions.flags.writeable
    assert positions.tolist() == [[0.0, 0.0, 0.74], [-150.0, 2.25, 0.75], [7.0, 8.0, 9.0],
                                  [1e-5, -0.0, 12345.678]]


def test_every_call_returns_new_objects():
    first = parse(["H 1 2 3"])
    second = parse(["H 1 2 3"])
    first[0][0] = "X"
    first[1][0, 0] = 99.0
    assert second[0] == ["H"]
    assert second[1].tolist() == [[1.0, 2.0, 3.0]]


def test_large_block_keeps_order():
    n = 20000
    lines = [f"x{i % 97} {i} {i + 0.5} {-i}" for i in range(n)]
    symbols, positions = parse(lines)
    assert symbols == [f"X{i % 97}" for i in range(n)]
    assert np.array_equal(positions, np.array([[i, i + 0.5, -i] for i in range(n)], dtype=float))


@pytest.mark.parametrize("tail", ["-1.0", "charge", "0.5 H abc", "1.0D-01 \x00 t", "{}"])
def test_fields_after_the_coordinates_never_looked_at(tail):
    symbols, positions = parse([f"Na 0.1 0.2 0.3 {tail}", f"Cl 0.4 0.5 0.6 {tail}"])
    assert symbols == ["Na", "Cl"]
    assert positions.tolist() == [[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]]


def test_huge_tail_never_looked_at():
    huge = "\x0b" * 2_000_000
    symbols, positions = parse([f"Si 1 2 3 {huge}", f"ar 4 5 6 {huge} x"])
    assert symbols == ["Si", "Ar"]
    assert positions.tolist() == [[1, 2, 3], [4, 5, 6]]


# --- empty lines and field count ----------------------------------------------

@pytest.mark.parametrize("line", ["", " ", "  \t \t", "\r\n", "\n", "\f", "\r"])
@pytest.mark.parametrize("position", [0, 4])
def test_empty_line(line, position):
    lines = ["H 0 0 0"] * position + [line, "also not looked at"]
    fails_with(lines, EMPTY_MSG.format(position))


@pytest.mark.parametrize("line", ["He", "He 0", "He 0 0", "  He\t0.5 1.5\r\n", "0 0 0"])
@pytest.mark.parametrize("position", [0, 2])
def test_not_enough_fields(line, position):
    lines = ["H 0 0 0"] * position + [line, ""]
    fails_with(lines, COUNT_MSG.format(position))


# --- coordinates ---------------------------------------------------------------

BAD_NUMBERS = ["abc", "x", "1.0D-01", "1.0d-01", "0x1p3", "1_000", "1,5", "--1", "+-1", "+", "-",
               ".", "-.", "e5", "1e", "1e+", "1.5.", "infinit", "infinityy", "nana", "in",
               "5f", "\u0661", "\uff11", "\u00bd", "0.5\x0b0.5", "0.5\u00a00.5", "{}", "'",
               "\U0001f600", "H"]


@pytest.mark.parametrize("column", [0, 1, 2])
@pytest.mark.parametrize("bad", BAD_NUMBERS)
def test_bad_coordinate(bad, column):
    fields = ["0.5", "0.5", "0.5"]
    fields[column] = bad
    fails_with(["H 0 0 0", "O " + " ".join(fields)], COORD_MSG.format(bad, 1))


NUMBERS = [
    ("0", 0.0), ("5", 5.0), ("5.", 5.0), (".5", 0.5), ("+.5e-3", 0.0005), ("1.0E-01", 0.1),
    ("1.0e-01", 0.1), ("-1.5E2", -150.0), ("007", 7.0), ("0.1", 0.1),
    ("123456789012345678901234567890", 1.2345678901234568e29),
    # Zeros between the point and the first significant digit scale the value.
    ("0.0625", 0.0625), ("0.001", 0.001), ("-0.05", -0.05), (".0001e4", 1.0),
    ("2.4703282292062328e-324", 5e-324), ("2.4703282292062327e-324", 0.0),
    ("1e400", math.inf), ("-1e400", -math.inf), ("1e-400", 0.0), ("-1e-400", -0.0),
    ("-0", -0.0), ("+0.0", 0.0), ("-0e9", -0.0),
    ("nan", math.nan), ("-nan", -math.nan), ("NAN", math.nan),
    ("inf", math.inf), ("+infinity", math.inf), ("-Infinity", -math.inf), ("-INF", -math.inf),
]


@pytest.mark.parametrize("text, expected", NUMBERS)
@pytest.mark.parametrize("column", [0, 1, 2])
def test_coordinate_values(text, expected, column):
    fields = ["7", "7", "7"]
    fields[column] = text
    _, positions = parse(["H " + " ".join(fields)])
    want = [7.0, 7.0, 7.0]
    want[column] = expected
    assert [float_key(v) for v in positions[0]] == [float_key(v) for v in want]


# --- separators ----------------------------------------------------------------

@pytest.mark.parametrize("sep", SEPARATORS)
def test_separators(sep):
    symbols, positions = parse([f"{sep}n{sep}{sep}0.5{sep}1.5{sep}{sep}2.5{sep}"])
    assert symbols == ["N"]
    assert positions.tolist() == [[0.5, 1.5, 2.5]]


@pytest.mark.parametrize("char", NON_SEPARATORS)
def test_non_separator_after_symbol_joins_it_to_the_first_number(char):
    fails_with([f"H{char}0.5 1.5 2.5"], COUNT_MSG.format(0))


@pytest.mark.parametrize("char", NON_SEPARATORS)
def test_non_separator_stays_in_the_symbol(char):
    symbols, positions = parse([f"h{char}X 1 2 3"])
    assert symbols == [f"H{char}x"]
    assert positions.tolist() == [[1.0, 2.0, 3.0]]


@pytest.mark.parametrize("char", NON_SEPARATORS)
def test_non_separator_joins_coordinates(char):
    joined = f"0.5{char}1.5"
    fails_with([f"H {joined} 2.5 3.5"], COORD_MSG.format(joined, 0))


# --- order of checks -----------------------------------------------------------

@pytest.mark.parametrize("lines, message", [
    (["H abc"], COORD_MSG.format("abc", 0)),
    (["H 0.5"], COUNT_MSG.format(0)),
    (["H 0 abc"], COORD_MSG.format("abc", 0)),
    (["H 0 0 abc"], COORD_MSG.format("abc", 0)),
    (["H bad1 bad2 bad3"], COORD_MSG.format("bad1", 0)),
    (["H 0 bad2 bad3"], COORD_MSG.format("bad2", 0)),
    (["H abc", ""], COORD_MSG.format("abc", 0)),
    (["", "H abc"], EMPTY_MSG.format(0)),
    (["H 0", "H abc"], COUNT_MSG.format(0)),
    (["H 0 0 0", "He 1 1 1", "Li 2 x 2", "", "Be"], COORD_MSG.format("x", 2)),
    (["H 0 0 0", " \t ", "Li 2 x 2"], EMPTY_MSG.format(1)),
])
def test_first_failure_decides(lines, message):
    fails_with(lines, message)


def test_failure_on_last_line_of_long_block():
    lines = ["Fe 0.25 0.5 0.75"] * 50000 + ["Fe 0.25 0.5"]
    fails_with(lines, COUNT_MSG.format(50000))


def test_failure_does_not_disturb_next_call():
    fails_with(["H 0 0 0", "O 1 1 bad"], COORD_MSG.format("bad", 1))
    assert parse(["H 0 0 0", "o 1 1 1"])[0] == ["H", "O"]
