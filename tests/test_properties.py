"""Properties that must hold for every input, checked on generated ones:
numbers read as CPython's float() reads them and as the grammar says. (The
round trips of whole blocks are in test_io_rs.py; the writers are held to
format() and the readers to float() field by field elsewhere.)

Example counts are modest so that the file runs in seconds; set
HYPOTHESIS_PROFILE=long for a run fifty times as long."""

import math
import os
import re

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _io_rs

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
