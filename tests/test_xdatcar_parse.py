"""parse_xdatcar_coords_rs: rows from coordinate lines, field splitting, and
the two messages with their 0-based line numbers."""

import math

import numpy as np
import pytest

import _io_rs

parse = _io_rs.parse_xdatcar_coords_rs


def count_message(i):
    return f"XDATCAR: not enough fields on coordinate line {i}"


def parse_message(field, i):
    return f"XDATCAR: cannot parse '{field}' on line {i}: invalid float literal"


def failure(lines):
    with pytest.raises(ValueError) as caught:
        parse(lines)
    assert type(caught.value) is ValueError
    return str(caught.value)


# --- results ---------------------------------------------------------------

def test_empty_block():
    result = parse([])
    assert result.shape == (0, 3) and result.dtype == np.float64


ROWS = [
    ("plain", "0.1 0.2 0.3", [0.1, 0.2, 0.3]),
    ("mixed separators", "  0.25\t0.5   0.75\r\n", [0.25, 0.5, 0.75]),
    ("newline kept", "1 2 3\n", [1.0, 2.0, 3.0]),
    ("negative and exponents", "-1.5e-3 +2E2 .5", [-1.5e-3, 200.0, 0.5]),
    ("extra numbers", "0.1 0.2 0.3 0.4 0.5", [0.1, 0.2, 0.3]),
    ("extra garbage", "0.1 0.2 0.3 garbage", [0.1, 0.2, 0.3]),
    ("extra nonsense glued by VT", "0.1 0.2 0.3 x\x0by nan(1) 1e \x00", [0.1, 0.2, 0.3]),
    ("extra non-ASCII", "0.1 0.2 0.3 \u00e9\u00a0\u3000\U0001f600", [0.1, 0.2, 0.3]),
    ("punctuation as fourth field", "0.1 0.2 0.3\t\t\t,", [0.1, 0.2, 0.3]),
    ("exponent E", "1.0E-01 1.0e-01 1E1", [0.1, 0.1, 10.0]),
    ("large values", "1e400 -1e400 1e-400", [math.inf, -math.inf, 0.0]),
    ("special words", "nan inf -Infinity", [math.nan, math.inf, -math.inf]),
]


@pytest.mark.parametrize("line, row", [c[1:] for c in ROWS], ids=[c[0] for c in ROWS])
def test_row(line, row):
    result = parse([line])
    assert result.shape == (1, 3)
    np.testing.assert_array_equal(result[0], row)


def test_negative_zero():
    result = parse(["-0 0 -0.0"])
    assert [math.copysign(1.0, v) for v in result[0]] == [-1.0, 1.0, -1.0]


def test_many_lines_in_order():
    lines = [f"{i} {i + 0.5} {-i}" for i in range(1000)]
    expected = np.array([[i, i + 0.5, -i] for i in range(1000)], dtype=float)
    np.testing.assert_array_equal(parse(lines), expected)


def test_million_field_tail_is_ignored():
    # Fields after the third are never read, however many there are.
    tail = " x" * 1_000_000
    np.testing.assert_array_equal(parse(["1 2 3" + tail, "4 5 6" + tail]), [[1, 2, 3], [4, 5, 6]])


# --- the two messages ------------------------------------------------------

FAILURES = [
    ("two numbers first", ["0.5 0.5"], count_message(0)),
    ("two numbers fourth", ["1 2 3"] * 3 + ["0.5 0.5"], count_message(3)),
    ("one number", ["0.5"], count_message(0)),
    ("empty line", [""], count_message(0)),
    ("empty line later", ["1 2 3", "1 2 3", ""], count_message(2)),
    ("separators only", [" \t\r\n\f "], count_message(0)),
    ("newline only", ["1 2 3", "\n"], count_message(1)),
    ("lone word", ["abc"], parse_message("abc", 0)),
    ("word second, line 2", ["1 2 3", "1 2 3", "0.5 abc 0.5"], parse_message("abc", 2)),
    ("word third", ["0 0 abc"], parse_message("abc", 0)),
    ("word second of two", ["0.5 abc"], parse_message("abc", 0)),
    ("first bad field decides", ["x y z"], parse_message("x", 0)),
    ("bad field before short line", ["abc 1 2", "1"], parse_message("abc", 0)),
    ("short line before bad field", ["1", "abc 1 2"], count_message(0)),
    ("D exponent", ["1.0D-01 0 0"], parse_message("1.0D-01", 0)),
    ("vertical tab joins", ["0.1\x0b0.2 0.3 0.4"], parse_message("0.1\x0b0.2", 0)),
    ("line 1000", ["0 0 0"] * 1000 + ["0 0 -"], parse_message("-", 1000)),
]


@pytest.mark.parametrize("lines, message", [c[1:] for c in FAILURES], ids=[c[0] for c in FAILURES])
def test_failure(lines, message):
    assert failure(lines) == message


# The field appears in the message exactly as found: no escaping, no truncation.
QUOTED_FIELDS = [
    "1,5", "'", "''", "{}", "{0}", "%s", "\\n", "\x00", "1\x002", "\u00e9t\u00e9", "\U0001f600",
    "1\u00a02", "x" * 10000, "\x7f\x01\x1f", "0x1p3",
]


@pytest.mark.parametrize("field", QUOTED_FIELDS, ids=[repr(f)[:20] for f in QUOTED_FIELDS])
def test_field_quoted_exactly(field):
    assert failure([f"0 {field} 0"]) == parse_message(field, 0)


def test_later_lines_not_examined():
    # The second line would fail differently; the first failure ends the call.
    assert failure(["1 2 3", "1 2", "abc"]) == count_message(1)


def test_failure_leaves_the_next_call_unaffected():
    failure(["1 2 3", "1 2 x"])
    np.testing.assert_array_equal(parse(["1 2 3"]), [[1, 2, 3]])


# --- field splitting -------------------------------------------------------

SEPARATORS = {"TAB": "\t", "LF": "\n", "FF": "\f", "CR": "\r", "SPACE": " "}


@pytest.mark.parametrize("sep", SEPARATORS.values(), ids=SEPARATORS)
@pytest.mark.parametrize("run", [1, 2, 7])
def test_each_separator_splits(sep, run):
    s = sep * run
    np.testing.assert_array_equal(parse([f"{s}1{s}2{s}3{s}"]), [[1, 2, 3]])


@pytest.mark.parametrize("sep", SEPARATORS.values(), ids=SEPARATORS)
def test_separator_only_line_has_no_fields(sep):
    assert failure([sep * 3]) == count_message(0)


def test_mixed_runs_count_as_one():
    np.testing.assert_array_equal(parse(["\t \r\n\f1 \t\r\n\f2\f\n\r\t 3\r\n"]), [[1, 2, 3]])


# Bytes and characters that are not separators: they belong to their field.
FIELD_CHARACTERS = {
    "VT": "\x0b", "NUL": "\x00", "SOH": "\x01", "BS": "\x08", "FS": "\x1c", "US": "\x1f", "DEL": "\x7f",
    "NEL": "\x85", "NBSP": "\u00a0", "OGHAM SPACE": "\u1680", "EM SPACE": "\u2003",
    "LINE SEPARATOR": "\u2028", "IDEOGRAPHIC SPACE": "\u3000", "BOM": "\ufeff",
}


@pytest.mark.parametrize("char", FIELD_CHARACTERS.values(), ids=FIELD_CHARACTERS)
def test_other_characters_belong_to_fields(char):
    assert failure([f"1{char}2 3 4"]) == parse_message(f"1{char}2", 0)
    assert failure([f"{char}1 2 3"]) == parse_message(f"{char}1", 0)
    assert failure([f"1 2 3{char}"]) == parse_message(f"3{char}", 0)
    # A line of such a character alone has one field, not none.
    assert failure([char]) == parse_message(char, 0)
