"""Properties that must hold for every input, checked on generated ones:
numbers read as CPython's float() reads them, fields written as format()
writes them, blocks that survive a write and a read, and arrays whose
memory layout never changes the text.

Example counts are modest so that the file runs in seconds; set
HYPOTHESIS_PROFILE=long for a run fifty times as long."""

import math
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _io_rs

SCALE = 50 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1


def examples(n):
    return settings(max_examples=n * SCALE, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# --- number reading ---------------------------------------------------------

SEPARATORS = " \t\f\r\n"
digits = st.text("0123456789", max_size=25)
# Now and then a long run of digits: the correctly rounded path for any length.
long_digits = st.one_of(digits, st.text("0123456789", min_size=20, max_size=400))


def any_case(word):
    return st.tuples(*[st.sampled_from([c.lower(), c.upper()]) for c in word]).map("".join)


@st.composite
def decimal_texts(draw):
    """A text of the decimal branch of the grammar: digits, an optional point
    with more digits (at least one digit in all), an optional exponent."""
    whole = draw(long_digits)
    point = draw(st.booleans())
    fraction = draw(long_digits) if point else ""
    if not whole and not fraction:
        whole = draw(st.text("0123456789", min_size=1, max_size=3))
    leading_zeros = "0" * draw(st.integers(0, 3)) if whole else ""
    text = leading_zeros + whole + ("." + fraction if point else "")
    if draw(st.booleans()):
        exponent = draw(st.one_of(st.integers(0, 400), st.integers(0, 10**7)))
        text += (draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"]))
                 + "0" * draw(st.integers(0, 2)) + str(exponent))
    return text


number_texts = st.builds(
    lambda sign, body: sign + body,
    st.sampled_from(["", "+", "-"]),
    st.one_of(decimal_texts(),
              st.sampled_from(["inf", "infinity", "nan"]).flatmap(any_case)),
)

# The grammar with ASCII digits only ([0-9], never \d, which takes every
# Unicode digit), for judging arbitrary texts.
GRAMMAR = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
                     r"|(?i:inf|infinity|nan))\Z")
# Characters that make near misses: pieces of the grammar and of what it refuses.
near_misses = st.text("0123456789.eE+-infatyINFATYxXpDd_, \u00a0\u0665", min_size=1, max_size=12)


def same_float(actual, expected):
    if math.isnan(expected):
        return math.isnan(actual) and math.copysign(1, actual) == math.copysign(1, expected)
    return actual == expected and math.copysign(1, actual) == math.copysign(1, expected)


def read_in_every_parser(field, column, separator):
    """The field as coordinate `column` of a line of each parser; the values
    read for it (the other coordinates are 0)."""
    cells = ["0", "0", "0"]
    cells[column] = field
    line = separator.join(cells)
    return [
        _io_rs.parse_xdatcar_coords_rs([line])[0, column],
        _io_rs.parse_poscar_positions_rs([line + " T F T"], True)[0][0, column],
        _io_rs.parse_xyz_block_rs(["He" + separator + line])[1][0, column],
    ]


@examples(400)
@given(number_texts, st.integers(0, 2), st.sampled_from([" ", "\t", "  \r", "\f "]))
@example("0.05e1", 0, " ")  # zeros after the point, then an exponent
@example("0.0001E+00", 2, " ")
@example("-nan", 1, " ")
def test_every_grammatical_text_reads_as_float_reads_it(text, column, separator):
    expected = float(text)
    for value in read_in_every_parser(text, column, separator):
        assert same_float(value, expected), (text, value, expected)


@examples(400)
@given(near_misses)
@example("1.0D-01")
@example("\u0665")  # an Arabic-Indic digit: a digit to Python, not to the grammar
def test_texts_are_accepted_exactly_by_the_grammar(text):
    field = text.strip(SEPARATORS)
    if not field or any(c in SEPARATORS for c in field):
        return  # not one field; splitting is tested elsewhere
    line = f"{field} 0 0"
    if GRAMMAR.match(field):
        assert same_float(_io_rs.parse_xdatcar_coords_rs([line])[0, 0], float(field))
    else:
        with pytest.raises(ValueError) as refused:
            _io_rs.parse_xdatcar_coords_rs([line])
        assert str(refused.value) == f"XDATCAR: cannot parse '{field}' on line 0: invalid float literal"


# --- fixed-point writing ----------------------------------------------------

# Values where rounding to P decimals is hard to get right: exact binary ties
# (k / 2^n), decimals half a unit off, and every kind of float.
hard_values = st.one_of(
    st.floats(width=64),
    st.builds(lambda k, n: k / 2.0**n, st.integers(-(2**40), 2**40), st.integers(0, 60)),
    st.builds(lambda m, p: (m + 0.5) / 10.0**p, st.integers(-(10**12), 10**12), st.integers(0, 17)),
    st.sampled_from([0.0, -0.0, -1e-12, 5e-9, 9.999999995, 0.001953125, 0.005859375,
                     1e16, 1e300, -1234567.5, 5e-324]),
)


def python_field(value, width, precision):
    """The field by CPython's exact formatting: NaN unsigned and spelled NaN,
    the sign kept on negative zero and on negatives that round to zero."""
    text = "NaN" if math.isnan(value) else format(value, f".{precision}f")
    return text.rjust(width)


def xdatcar_line(row):
    text = _io_rs.format_xdatcar_config_rs(np.array([row], dtype=np.float64), 1)
    return text.split("\n")[1] + "\n"


WRITERS = {
    8: (xdatcar_line, lambda fields: "  " + " ".join(fields) + "\n", 11),
    15: (lambda row: _io_rs.format_xyz_block_rs(["H"], np.array([row])),
         lambda fields: "H " + "".join(" " + f for f in fields) + "\n", 22),
    16: (lambda row: _io_rs.format_poscar_positions_rs(np.array([row])),
         lambda fields: "".join(" " + f for f in fields) + "\n", 19),
}


@pytest.mark.parametrize("precision", sorted(WRITERS))
@examples(300)
@given(row=st.lists(hard_values, min_size=3, max_size=3))
def test_fields_are_written_as_format_writes_them(precision, row):
    write, layout, width = WRITERS[precision]
    assert write(row) == layout([python_field(v, width, precision) for v in row])


# --- round trips --------------------------------------------------------------

def as_written(values, precision):
    """What reading back a written value gives: the value rounded to the
    written precision (float() of format() is exactly that)."""
    return np.vectorize(lambda v: float(format(v, f".{precision}f")), otypes=[np.float64])(values)


def assert_same_values(actual, expected):
    np.testing.assert_array_equal(actual, expected)
    numbers = ~np.isnan(expected)
    np.testing.assert_array_equal(np.signbit(actual[numbers]), np.signbit(expected[numbers]))


positions = st.integers(0, 12).flatmap(
    lambda n: hnp.arrays(np.float64, (n, 3), elements=hard_values))


@examples(150)
@given(positions, st.booleans(), st.data())
def test_poscar_round_trip(coord, selective, data):
    flags = data.draw(hnp.arrays(np.bool_, coord.shape)) if selective else None
    read, read_flags = _io_rs.parse_poscar_positions_rs(
        _io_rs.format_poscar_positions_rs(coord, flags).splitlines(), selective)
    assert_same_values(read, as_written(coord, 16))
    if selective:
        np.testing.assert_array_equal(read_flags, flags)
    else:
        assert read_flags is None


@examples(150)
@given(positions, st.integers(0, 2**64 - 1))
def test_xdatcar_round_trip(coord, index):
    header, *lines = _io_rs.format_xdatcar_config_rs(coord, index).splitlines()
    assert header == f"Direct configuration={index:>6}"
    assert_same_values(_io_rs.parse_xdatcar_coords_rs(lines), as_written(coord, 8))


# Any character but the field separators and lone surrogates, so that every
# symbol is the one symbol field of its line.
symbol_text = st.text(st.characters(exclude_categories=["Cs"], exclude_characters=SEPARATORS),
                      min_size=1, max_size=4)


def normalised(symbol):
    lower = symbol.lower()
    return lower[:1].upper() + lower[1:]


@examples(150)
@given(positions.flatmap(lambda p: st.tuples(st.lists(symbol_text, min_size=len(p), max_size=len(p)),
                                             st.just(p))))
@example((["FE", "h", "\u03a3\u0391\u03a3", "\u00df"], np.zeros((4, 3))))
def test_xyz_round_trip(block):
    symbols, coord = block
    read_symbols, read = _io_rs.parse_xyz_block_rs(
        _io_rs.format_xyz_block_rs(symbols, coord).split("\n")[:-1])
    assert read_symbols == [normalised(s) for s in symbols]
    assert_same_values(read, as_written(coord, 15))


# --- memory layouts -----------------------------------------------------------

def misaligned(a):
    """A copy of a whose float64 elements start one byte past an aligned address."""
    raw = np.zeros(a.size * a.itemsize + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned or a.size == 0
    return out


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Each takes a 2-D array and returns a 2-D view or copy in another layout.
STEPS = {
    "transpose": lambda a: a.T,
    "fortran copy": np.asfortranarray,
    "reverse rows": lambda a: a[::-1],
    "reverse columns": lambda a: a[:, ::-1],
    "every other row": lambda a: a[::2],
    "every other column": lambda a: a[:, ::2],
    "misaligned": misaligned,
    "read-only": read_only,
    "broadcast first row": lambda a: np.broadcast_to(a[:1], a.shape) if len(a) else a,
    "broadcast first column": lambda a: np.broadcast_to(a[:, :1], a.shape) if a.shape[1] else a,
}


@st.composite
def laid_out(draw, dtype, elements, min_cols):
    """An array reached by a chain of layout steps; at least min_cols columns."""
    shape = draw(st.tuples(st.integers(0, 7), st.integers(0, 7)))
    a = draw(hnp.arrays(dtype, shape, elements=elements))
    for name in draw(st.lists(st.sampled_from(sorted(STEPS)), max_size=4)):
        a = STEPS[name](a)
    if a.shape[1] < min_cols:
        a = np.concatenate([a, np.ones((len(a), min_cols), dtype=dtype)], axis=1)
    return a


floats_laid_out = laid_out(np.float64, hard_values, 3)


@st.composite
def flags_laid_out(draw, shape):
    """A bool array of the given shape in some layout, its bytes not always 0 or 1."""
    rows, cols = shape
    how = draw(st.sampled_from(["c", "transpose", "every other row", "reversed", "broadcast", "bytes"]))
    if how == "transpose":
        return draw(hnp.arrays(np.bool_, (cols, rows))).T
    if how == "every other row":
        return draw(hnp.arrays(np.bool_, (2 * rows, cols)))[::2]
    if how == "reversed":
        return draw(hnp.arrays(np.bool_, shape))[::-1, ::-1]
    if how == "broadcast":
        return np.broadcast_to(draw(hnp.arrays(np.bool_, (1, cols))), shape)
    if how == "bytes":  # any non-zero byte is a true flag
        raw = draw(st.binary(min_size=rows * cols, max_size=rows * cols))
        return np.frombuffer(raw, dtype=np.uint8).reshape(shape).view(np.bool_)
    return draw(hnp.arrays(np.bool_, shape))


@examples(200)
@given(floats_laid_out, st.data())
def test_any_layout_gives_the_text_of_its_c_copy(a, data):
    copy = np.array(a, order="C")
    before = a.copy()
    assert _io_rs.format_xdatcar_config_rs(a, 7) == _io_rs.format_xdatcar_config_rs(copy, 7)
    assert _io_rs.format_xyz_block_rs(["C"] * len(a), a) == _io_rs.format_xyz_block_rs(["C"] * len(a), copy)
    flags = data.draw(flags_laid_out(a.shape))
    expected_flags = np.frombuffer(flags.tobytes(), dtype=np.uint8).reshape(a.shape) != 0
    assert (_io_rs.format_poscar_positions_rs(a, flags)
            == _io_rs.format_poscar_positions_rs(copy, expected_flags))
    np.testing.assert_array_equal(a, before)  # read, never written
