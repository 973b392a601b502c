"""Chemical symbols read by parse_xyz_block_rs: the whole field lowercased
(full mappings, Final_Sigma judged inside the field), then its first
character replaced by its full uppercase mapping. CPython's str methods do
exactly this, so they are the reference wherever the interpreter's Unicode
data agrees with the module's tables (case_reference.py)."""

from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import _io_rs
from case_reference import SAME_DATA, UNICODE, comparable, expectations, reference

SEPARATORS = "\t\n\f\r "
TABLES = Path(__file__).resolve().parent.parent / "src" / "xyz" / "case_tables.inc"


def differences(fields, limit=20):
    symbols, positions = _io_rs.parse_xyz_block_rs([f"{f} 0 0 0" for f in fields])
    assert len(symbols) == len(fields) and positions.shape == (len(fields), 3)
    return [(ascii(f), ascii(g), ascii(reference(f))) for f, g in zip(fields, symbols) if g != reference(f)][:limit]


def field_characters(plane):
    """Every code point of the plane that can stand inside a field and that
    the interpreter's str methods judge as the module's tables do."""
    return [chr(c) for c in range(plane << 16, (plane + 1) << 16)
            if not 0xD800 <= c <= 0xDFFF and chr(c) not in SEPARATORS and comparable(chr(c))]


EXAMPLES = [
    ("FE", "Fe"), ("fe", "Fe"), ("fE", "Fe"), ("cl", "Cl"), ("h", "H"), ("1h", "1h"), ("H2O", "H2o"),
    ("\u00df", "SS"),                 # uppercase, not titlecase
    ("\u01c5", "\u01c4"), ("\u01c6", "\u01c4"),
    ("\u0130", "I\u0307"),            # lowercases to two characters
    ("\ufb03", "FFI"), ("\u1f80", "\u1f08\u0399"), ("\U00010400\U00010400", "\U00010400\U00010428"),
    ("\u03a3\u0391\u03a3", "\u03a3\u03b1\u03c2"), ("A\u0345\u03a3", "A\u0345\u03c2"), ("A\u03a3'B", "A\u03c3'b"),
    ("\u0130\u03a3", "I\u0307\u03c2"),  # the sigma's context is the original text
    ("\u02b0\u03a3", "\u02b0\u03c3"),   # cased and case-ignorable: skipped as ignorable
    ("x" * 9, "X" + "x" * 8), ("abcdefghij", "Abcdefghij"), ("ABCDEFGHIK", "Abcdefghik"), ("Ab\u00e9", "Ab\u00e9"),
]


def test_examples():
    assert [reference(f) for f, _ in EXAMPLES] == [e for _, e in EXAMPLES]
    assert differences([f for f, _ in EXAMPLES]) == []


def test_what_the_tables_version_says():
    fields, expected = map(list, zip(*expectations()))
    if SAME_DATA:
        assert [reference(f) for f in fields] == expected
    symbols = _io_rs.parse_xyz_block_rs([f"{f} 0 0 0" for f in fields])[0]
    assert [(ascii(f), ascii(s)) for f, s, e in zip(fields, symbols, expected) if s != e] == []


@pytest.mark.skipif(not TABLES.exists(), reason="no source tree beside the tests")
def test_tables_follow_the_named_version():
    assert f"// Unicode Character Database {UNICODE}." in TABLES.read_text().splitlines()[:3]


@pytest.mark.parametrize("lines, expected", [
    (["\u03a3 0 0 0 A"], ["\u03a3"]),
    (["\u03a3\t0 0 0 \u0345A"], ["\u03a3"]),
    (["A\u03a3\t0 0 0 b"], ["A\u03c2"]),
    (["Ab 0 0 0 B", "\u03a3 1 1 1 C"], ["Ab", "\u03a3"]),
    (["\u03a3A 0 0 0", "A\u03a3 0 0 0", "\u03a3 0 0 0"], ["\u03a3a", "A\u03c2", "\u03a3"]),
])
def test_sigma_context_is_the_symbol_field_alone(lines, expected):
    assert _io_rs.parse_xyz_block_rs(lines)[0] == expected


@pytest.mark.parametrize("plane", range(17))
def test_every_code_point(plane):
    assert differences(field_characters(plane)) == []


# Each shape sorts every code point c into cased, case-ignorable or neither,
# as Final_Sigma sees it: c before the sigma tells cased from the rest, c
# between a cased letter and the sigma tells neither from the rest, and c
# after the sigma tells cased from the rest again. Planes 4 to 13 hold no
# character yet, 15 and 16 private use only.
@pytest.mark.parametrize("shape", ["{}\u03a3", "A{}\u03a3", "A\u03a3{}", "\u0391\u03a3{}\u0391"])
@pytest.mark.parametrize("plane", [0, 1, 2, 3, 14])
def test_every_code_point_as_sigma_context(plane, shape):
    assert differences([shape.format(c) for c in field_characters(plane)]) == []


def test_every_ascii_pair():
    # Short ASCII fields take a byte loop of their own.
    chars = [c for c in field_characters(0) if c < "\x80"]
    assert differences([a + b for a in chars for b in chars]) == []


@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(st.characters(exclude_categories=["Cs"], exclude_characters=SEPARATORS).filter(comparable),
                        min_size=1, max_size=12), min_size=1, max_size=30))
def test_arbitrary_fields(fields):
    assert differences(fields) == []
