"""parse_poscar_positions_rs: the atom position block of a POSCAR/CONTCAR
file, three coordinates per line and, with selective dynamics, three T/F
flags (F = held fixed = True)."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _io_rs

parse = _io_rs.parse_poscar_positions_rs

COUNT_MSG = "POSCAR: not enough fields on atom line {} (need 3 coordinates)"
COORD_MSG = "POSCAR: cannot parse coordinate '{}' on atom line {}: invalid float literal"
FLAG_MSG = "POSCAR: expected selective dynamics flag 'T' or 'F', got '{}' on atom line {}"

SEPARATORS = ["\t", "\n", "\f", "\r", " "]
# Whitespace to Python's str.split, yet ordinary field characters here.
NON_SEPARATORS = ["\x0b", "\x00", "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\u00a0", "\u1680",
                  "\u2000", "\u2007", "\u200a", "\u200b", "\u2028", "\u2029", "\u202f",
                  "\u205f", "\u3000", "\ufeff"]


def fails_with(lines, selective, message):
    with pytest.raises(ValueError) as excinfo:
        parse(lines, selective)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == message


def float_key(x):
    """Compares floats by value and sign bit; all NaNs of one sign are alike."""
    x = float(x)
    return ("nan" if math.isnan(x) else x, math.copysign(1.0, x))


def same_float(got, want):
    return float_key(got) == float_key(want)


# --- results -----------------------------------------------------------------

@pytest.mark.parametrize("selective", [False, True])
def test_empty_block(selective):
    result = parse([], selective)
    assert type(result) is tuple and len(result) == 2
    positions, flags = result
    assert positions.dtype == np.float64 and positions.shape == (0, 3)
    if selective:
        assert flags.dtype == np.bool_ and flags.shape == (0, 3)
    else:
        assert flags is None


def test_mixed_separators_with_flags():
    line = "  0.0 0.5\t0.25  F T F\r\n"
    positions, flags = parse([line], True)
    assert positions.tolist() == [[0.0, 0.5, 0.25]]
    assert flags.tolist() == [[True, False, True]]
    positions, flags = parse([line], False)
    assert positions.tolist() == [[0.0, 0.5, 0.25]]
    assert flags is None


@pytest.mark.parametrize("selective", [False, True])
def test_block_values_and_array_layout(selective):
    lines = ["0.1 0.2 0.3 F F F", "-1.5e2 +2.25 .75 T T T", "7 8 9 F T F",
             "1e-5\t-0.0\t12345.678 T F T\n"]
    positions, flags = parse(lines, selective)
    assert positions.dtype == np.float64 and positions.shape == (4, 3)
    assert positions.flags.c_contiguous and positions.flags.writeable
    assert positions.tolist() == [[0.1, 0.2, 0.3], [-150.0, 2.25, 0.75], [7.0, 8.0, 9.0],
                                  [1e-5, -0.0, 12345.678]]
    if selective:
        assert flags.dtype == np.bool_ and flags.shape == (4, 3)
        assert flags.flags.c_contiguous and flags.flags.writeable
        assert flags.tolist() == [[True] * 3, [False] * 3, [True, False, True],
                                  [False, True, False]]
    else:
        assert flags is None


def test_every_call_returns_new_arrays():
    first = parse(["1 2 3 F F F"], True)
    second = parse(["1 2 3 F F F"], True)
    first[0][0, 0] = 99.0
    first[1][0, 0] = False
    assert second[0].tolist() == [[1.0, 2.0, 3.0]]
    assert second[1].tolist() == [[True, True, True]]


def test_large_block_keeps_order_and_missing_flags_stay_false():
    # Rows alternate between all-F flags and no flags at all, so a flag
    # buffer that is not cleared up front shows through.
    n = 20000
    lines = [f"{i} {i + 0.5} {-i} F F F" if i % 2 else f"{i} {i + 0.5} {-i}" for i in range(n)]
    positions, flags = parse(lines, True)
    expected = np.array([[i, i + 0.5, -i] for i in range(n)], dtype=np.float64)
    assert np.array_equal(positions, expected)
    assert flags[1::2].all()
    assert not flags[0::2].any()


# --- flags -------------------------------------------------------------------

FLAG_CASES = [
    ("", [False, False, False]),
    ("F", [True, False, False]),
    ("T", [False, False, False]),
    ("F F", [True, True, False]),
    ("T F", [False, True, False]),
    ("F T", [True, False, False]),
    ("F T F", [True, False, True]),
    ("T T T", [False, False, False]),
    ("F F F", [True, True, True]),
    ("T F T", [False, True, False]),
    ("F F T", [True, True, False]),
    ("T T F", [False, False, True]),
    ("T T F Si", [False, False, True]),
    ("F F F garbage 1.0D-01 t", [True, True, True]),
    ("T F T \x00\x0b\u00a0", [False, True, False]),
    ("F\tT\fF\r\n", [True, False, True]),
    ("   F   ", [True, False, False]),
]


@pytest.mark.parametrize("tail, expected", FLAG_CASES)
def test_flags(tail, expected):
    positions, flags = parse([f"0.5 0.5 0.5 {tail}"], True)
    assert positions.tolist() == [[0.5, 0.5, 0.5]]
    assert flags.tolist() == [expected]


@pytest.mark.parametrize("tail", [tail for tail, _ in FLAG_CASES])
def test_flags_not_read_without_selective_dynamics(tail):
    positions, flags = parse([f"0.5 0.5 0.5 {tail}"], False)
    assert positions.tolist() == [[0.5, 0.5, 0.5]]
    assert flags is None


REFUSED_FLAGS = ["t", "f", "TRUE", "FALSE", "True", "FF", "TT", "TF", "1", "0", ".T.", ".F.",
                 "F,", "'F'", '"T"', "-", "Y", "N", "\uff26", "\u0422", "F\x0bT", "F\u00a0",
                 "\x00", "F\u0307", "{}", "é"]


@pytest.mark.parametrize("bad", REFUSED_FLAGS)
@pytest.mark.parametrize("before", ["", "F ", "T F "])
def test_refused_flag_quoted_whole(bad, before):
    lines = ["0 0 0 F F F", "1 1 1", f"0.1 0.2 0.3 {before}{bad} F"]
    fails_with(lines, True, FLAG_MSG.format(bad, 2))


@pytest.mark.parametrize("bad", REFUSED_FLAGS)
def test_refused_flag_ignored_without_selective_dynamics(bad):
    positions, flags = parse([f"0.1 0.2 0.3 {bad} {bad} {bad}"], False)
    assert positions.tolist() == [[0.1, 0.2, 0.3]]
    assert flags is None


def test_fields_after_the_third_flag_never_looked_at():
    huge = "x" * 2_000_000
    positions, flags = parse([f"1 2 3 F T F {huge}", f"4 5 6 T F T abc {huge}"], True)
    assert positions.tolist() == [[1, 2, 3], [4, 5, 6]]
    assert flags.tolist() == [[True, False, True], [False, True, False]]


def test_fields_after_the_coordinates_never_looked_at_without_selective_dynamics():
    huge = "\x0b" * 1_000_000
    positions, flags = parse([f"0.1 0.2 0.3 {huge} t 1.0D-01", "0.4 0.5 0.6 q"], False)
    assert positions.tolist() == [[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]]
    assert flags is None


# --- field count ---------------------------------------------------------------

SHORT_LINES = ["", " ", "\t \r\n", "\n", "\f\f", "0.5", "0.5 0.5", "  0.5\t0.5\r\n"]


@pytest.mark.parametrize("selective", [False, True])
@pytest.mark.parametrize("line", SHORT_LINES)
@pytest.mark.parametrize("position", [0, 3])
def test_not_enough_fields(line, position, selective):
    lines = ["0 0 0"] * position + [line, "also not looked at"]
    fails_with(lines, selective, COUNT_MSG.format(position))


# --- coordinates ---------------------------------------------------------------

BAD_NUMBERS = ["abc", "1.0D-01", "1.0d-01", "0x1p3", "0x10", "1_000", "1,5", "--1", "+-1", "+",
               "-", ".", "-.", "e5", "1e", "1e+", "1e-", "1.5.", "1..5", "infinit", "infinityy",
               "+-inf", "nana", "nan1", "in", "1e5.0", "5f", "\u0661", "\uff11",
               "\u00bd", "0.5\x0b0.5", "0.5\u00a00.5", "{}", "''", "'", "\U0001f600", "Σ"]


@pytest.mark.parametrize("selective", [False, True])
@pytest.mark.parametrize("column", [0, 1, 2])
@pytest.mark.parametrize("bad", BAD_NUMBERS)
def test_bad_coordinate(bad, column, selective):
    fields = ["0.5", "0.5", "0.5"]
    fields[column] = bad
    lines = ["0 0 0", "0 0 0", " ".join(fields) + " F F F"]
    fails_with(lines, selective, COORD_MSG.format(bad, 2))


@pytest.mark.parametrize("text, expected", [
    ("0", 0.0), ("5", 5.0), ("5.", 5.0), (".5", 0.5), ("+.5e-3", 0.0005), ("1.0E-01", 0.1),
    ("1.0e-01", 0.1), ("1.0e+01", 10.0), ("-1.5E2", -150.0), ("007", 7.0),
    ("0.1", 0.1), ("123456789012345678901234567890", 1.2345678901234568e29),
    # Zeros between the point and the first significant digit scale the value.
    ("0.0625", 0.0625), ("0.001", 0.001), ("-0.05", -0.05), (".0001e4", 1.0),
    ("0." + "0" * 30 + "1", 1e-31), ("00.00250e1", 0.025),
    ("2.4703282292062328e-324", 5e-324), ("2.4703282292062327e-324", 0.0),
    ("1.7976931348623158e308", 1.7976931348623157e308),
    ("1e400", math.inf), ("-1e400", -math.inf), ("1e-400", 0.0), ("-1e-400", -0.0),
    ("1e65536", math.inf), ("1e0000000000000000000001", 10.0),
    ("0." + "0" * 70000 + "1e700100", 1e9),
    ("-0", -0.0), ("-0.0e5", -0.0), ("+0", 0.0),
    ("nan", math.nan), ("NaN", math.nan), ("-nan", -math.nan), ("+NAN", math.nan),
    ("inf", math.inf), ("-Infinity", -math.inf), ("+INF", math.inf), ("iNfInItY", math.inf),
])
def test_coordinate_values(text, expected):
    positions, _ = parse([f"{text} 1 {text}"], False)
    assert same_float(positions[0, 0], expected)
    assert positions[0, 1] == 1.0
    assert same_float(positions[0, 2], expected)


FLOAT_STYLES = [repr, "{:.17e}".format, "{:.6f}".format, "{:E}".format, "{:.3g}".format]


@settings(max_examples=300, deadline=None)
@given(rows=st.lists(st.tuples(st.lists(st.floats(allow_nan=False), min_size=3, max_size=3),
                               st.lists(st.sampled_from("FT"), max_size=3),
                               st.lists(st.sampled_from(SEPARATORS), min_size=1, max_size=3)),
                     max_size=20),
       style=st.sampled_from(FLOAT_STYLES))
def test_written_rows_read_back(rows, style):
    lines = []
    for coords, letters, seps in rows:
        fields = [style(x) for x in coords] + letters
        lines.append("".join(seps) + "".join(seps).join(fields) + "".join(seps))
    positions, flags = parse(lines, True)
    # Python's float reads these plain decimal forms with the same rounding.
    want = [[float(style(x)) for x in coords] for coords, _, _ in rows]
    assert positions.shape == (len(rows), 3)
    assert [[float_key(v) for v in row] for row in positions.tolist()] == \
        [[float_key(v) for v in row] for row in want]
    assert flags.tolist() == [[letter == "F" for letter in letters] + [False] * (3 - len(letters))
                              for _, letters, _ in rows]


# --- separators ----------------------------------------------------------------

@pytest.mark.parametrize("sep", SEPARATORS)
def test_separators(sep):
    line = f"{sep}0.5{sep}{sep}1.5{sep}2.5{sep}F{sep}{sep}T{sep}F{sep}"
    positions, flags = parse([line], True)
    assert positions.tolist() == [[0.5, 1.5, 2.5]]
    assert flags.tolist() == [[True, False, True]]


@pytest.mark.parametrize("char", NON_SEPARATORS)
def test_non_separators_join_coordinates(char):
    joined = f"0.5{char}1.5{char}2.5"
    fails_with([f"{joined} 3.5 4.5"], False, COORD_MSG.format(joined, 0))


@pytest.mark.parametrize("char", NON_SEPARATORS)
def test_non_separators_join_flags(char):
    fails_with([f"0 0 0 F{char}T F"], True, FLAG_MSG.format(f"F{char}T", 0))


# --- order of checks -----------------------------------------------------------

@pytest.mark.parametrize("lines, selective, message", [
    (["abc"], False, COORD_MSG.format("abc", 0)),
    (["abc"], True, COORD_MSG.format("abc", 0)),
    (["0.5 0.5"], True, COUNT_MSG.format(0)),
    (["0 abc"], False, COORD_MSG.format("abc", 0)),
    (["abc 0 0 x"], True, COORD_MSG.format("abc", 0)),
    (["0 0 abc x"], True, COORD_MSG.format("abc", 0)),
    (["0 0 0 x y"], True, FLAG_MSG.format("x", 0)),
    (["0 0 0 T x y"], True, FLAG_MSG.format("x", 0)),
    (["0 bad1 bad2"], False, COORD_MSG.format("bad1", 0)),
    (["0 0 0 t", "abc 0 0"], True, FLAG_MSG.format("t", 0)),
    (["0 0 0 t", "0 0"], True, FLAG_MSG.format("t", 0)),
    (["0 0 0", "0 0", "abc 0 0"], False, COUNT_MSG.format(1)),
    (["0 0 0", "x 0 0", ""], True, COORD_MSG.format("x", 1)),
    (["0 0 0 F F F", "0 0 0 T T T", "0 0 0 F F F T", "0 0 0 T T f"], True, FLAG_MSG.format("f", 3)),
])
def test_first_failure_decides(lines, selective, message):
    fails_with(lines, selective, message)


def test_failure_on_last_line_of_long_block():
    lines = ["0.25 0.5 0.75 F T F"] * 50000 + ["0.25 0.5 oops F T F"]
    fails_with(lines, True, COORD_MSG.format("oops", 50000))


def test_failure_does_not_disturb_next_call():
    fails_with(["0 0 0", "0 0"], True, COUNT_MSG.format(1))
    positions, flags = parse(["0 0 0", "1 1 1 F"], True)
    assert positions.tolist() == [[0, 0, 0], [1, 1, 1]]
    assert flags.tolist() == [[False] * 3, [True, False, False]]
