"""Properties that must hold for every input, checked on generated ones:
numbers read as CPython's float() reads them and as the grammar says, and
blocks that survive a write and a read.

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
from case_reference import comparable, reference

SCALE = 50 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1


def examples(n):
    return settings(max_examples=n * SCALE, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# --- number reading ---------------------------------------------------------

SEPARATORS = " \t\f\r\n"
# The grammar with ASCII digits only ([0-9], never \d, which takes every
# Unicode digit).
GRAMMAR = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))\Z")
# Characters that make near misses: pieces of the grammar and of what it refuses.
near_misses = st.text("0123456789.eE+-infatyINFATYxXpDd_, \u00a0\u0665", min_size=1, max_size=12)


def same_float(actual, expected):
    return (math.isnan(actual) and math.isnan(expected) or actual == expected) \
        and math.copysign(1, actual) == math.copysign(1, expected)


@examples(400)
@given(st.from_regex(GRAMMAR, fullmatch=True), st.integers(0, 2), st.sampled_from([" ", "\t", "  \r", "\f "]))
@example("0.05e1", 0, " ")  # zeros after the point, then an exponent
@example("-nan", 1, " ")
def test_every_grammatical_text_reads_as_float_reads_it(text, column, separator):
    cells = ["0", "0", "0"]
    cells[column] = text
    line = separator.join(cells)
    for value in (_io_rs.parse_xdatcar_coords_rs([line])[0, column],
                  _io_rs.parse_poscar_positions_rs([line + " T F T"], True)[0][0, column],
                  _io_rs.parse_xyz_block_rs(["He" + separator + line])[1][0, column]):
        assert same_float(value, float(text)), (text, value)


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


# Values where rounding to P decimals is hard to get right: exact binary ties
# (k / 2^n), decimals half a unit off, and every kind of float.
hard_values = st.one_of(
    st.floats(width=64),
    st.builds(lambda k, n: k / 2.0**n, st.integers(-(2**40), 2**40), st.integers(0, 60)),
    st.builds(lambda m, p: (m + 0.5) / 10.0**p, st.integers(-(10**12), 10**12), st.integers(0, 17)),
    st.sampled_from([0.0, -0.0, -1e-12, 5e-9, 9.999999995, 0.001953125, 0.005859375,
                     1e16, 1e300, -1234567.5, 5e-324]),
)


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
# symbol is the one symbol field of its line, and one that the interpreter's
# str methods judge as the module's case tables do.
symbol_text = st.text(st.characters(exclude_categories=["Cs"], exclude_characters=SEPARATORS).filter(comparable),
                      min_size=1, max_size=4)


@examples(150)
@given(positions.flatmap(lambda p: st.tuples(st.lists(symbol_text, min_size=len(p), max_size=len(p)),
                                             st.just(p))))
@example((["FE", "h", "\u03a3\u0391\u03a3", "\u00df"], np.zeros((4, 3))))
def test_xyz_round_trip(block):
    symbols, coord = block
    read_symbols, read = _io_rs.parse_xyz_block_rs(
        _io_rs.format_xyz_block_rs(symbols, coord).split("\n")[:-1])
    assert read_symbols == [reference(s) for s in symbols]
    assert_same_values(read, as_written(coord, 15))
