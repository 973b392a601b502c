"""Chemical symbols read by parse_xyz_block_rs: the whole field lowercased
(full mappings, Final_Sigma judged inside the field), then its first
character replaced by its full uppercase mapping. CPython's str methods do
exactly this, so they are the reference throughout."""

import random

import pytest
from hypothesis import given, settings, strategies as st

import _io_rs

SEPARATORS = "\t\n\f\r "


def reference(field):
    lowered = field.lower()
    return lowered[:1].upper() + lowered[1:]


def normalise(fields):
    """Symbols the module gives for these fields, one atom line per field."""
    symbols, positions = _io_rs.parse_xyz_block_rs([f"{f} 0 0 0" for f in fields])
    assert positions.shape == (len(fields), 3)
    return symbols


def differences(fields, limit=20):
    got = normalise(fields)
    assert len(got) == len(fields)
    diff = [(f, g, reference(f)) for f, g in zip(fields, got) if g != reference(f)]
    return [(ascii(f), ascii(g), ascii(w)) for f, g, w in diff[:limit]]


def field_characters(first, last):
    """Every code point in [first, last] that can stand inside a field."""
    return [chr(c) for c in range(first, last + 1)
            if not 0xD800 <= c <= 0xDFFF and chr(c) not in SEPARATORS]


# --- examples --------------------------------------------------------------------

@pytest.mark.parametrize("field, expected", [
    ("FE", "Fe"), ("fe", "Fe"), ("fE", "Fe"), ("Fe", "Fe"), ("cl", "Cl"), ("h", "H"),
    ("1h", "1h"), ("1H", "1h"), ("_Na", "_na"), ("H2O", "H2o"),
    ("\u00df", "SS"),                                # sharp s: uppercase, not titlecase
    ("\u1e9e", "SS"),                                # capital sharp s lowers to U+00DF first
    ("\u01c4", "\u01c4"), ("\u01c5", "\u01c4"), ("\u01c6", "\u01c4"),  # DZ caron: not titlecase
    ("\u01c8", "\u01c7"), ("\u01f2", "\u01f1"),
    ("\u0130", "I\u0307"),                           # lowercases to two characters
    ("\u0130X", "I\u0307x"),
    ("\ufb00", "FF"), ("\ufb03", "FFI"),             # ligatures uppercase to several letters
    ("\u0149", "\u02bcN"), ("\u0390", "\u0399\u0308\u0301"),
    ("\u1f80", "\u1f08\u0399"),                      # iota subscript, uppercase not titlecase
    ("\u0587", "\u0535\u0552"),                      # Armenian ech-yiwn
    ("\u10d0", "\u1c90"),                            # Georgian mkhedruli to mtavruli
    ("\u13f8", "\u13f0"), ("\uab70", "\u13a0"),      # Cherokee
    ("\U00010428", "\U00010400"), ("\U00010400\U00010400", "\U00010400\U00010428"),  # Deseret
    ("\u212a", "K"), ("\u212b", "\u00c5"),           # Kelvin and Angstrom signs
    ("\u0345", "\u0399"), ("\u03a3\u0391\u03a3", "\u03a3\u03b1\u03c2"),
])
def test_examples(field, expected):
    assert normalise([field]) == [expected]
    assert reference(field) == expected


# --- Final_Sigma -----------------------------------------------------------------

SIGMA_CASES = [
    ("\u03a3", "\u03a3"),                   # alone: small sigma, then upper again
    ("A\u03a3", "A\u03c2"),
    ("\u03a3A", "\u03a3a"),
    ("A\u03a3A", "A\u03c3a"),
    ("\u03a3\u03a3", "\u03a3\u03c2"),
    ("\u03a3\u03a3\u03a3", "\u03a3\u03c3\u03c2"),
    ("1\u03a3", "1\u03c3"),                 # a digit is not cased
    ("\u0391\u03a31", "\u0391\u03c21"),
    ("\u0391\u03a3-\u0392", "\u0391\u03c2-\u03b2"),  # '-' is neither cased nor ignorable
    # Case-ignorable characters are skipped on both sides.
    ("A\u0345\u03a3", "A\u0345\u03c2"),
    ("A\u03a3\u0345", "A\u03c2\u0345"),
    ("A\u03a3\u0345b", "A\u03c3\u0345b"),
    ("A\u00b7\u03a3", "A\u00b7\u03c2"),
    ("A'\u03a3", "A'\u03c2"),
    ("A\u2019\u03a3", "A\u2019\u03c2"),
    ("A\u00ad\u03a3", "A\u00ad\u03c2"),
    ("A\u0301\u0301\u03a3", "A\u0301\u0301\u03c2"),
    ("A\u03a3'", "A\u03c2'"),
    ("A\u03a3'B", "A\u03c3'b"),
    ("A\u03a3\u00b7\u00ad\u0301b", "A\u03c3\u00b7\u00ad\u0301b"),
    ("\u0345\u03a3", "\u0399\u03c3"),       # only ignorable characters before it
    ("'\u03a3", "'\u03c3"),
    ("'\u03a3A", "'\u03c3a"),
    # Both cased and case-ignorable: skipped as ignorable.
    ("\u02b0\u03a3", "\u02b0\u03c3"),
    ("A\u03a3\u02b0", "A\u03c2\u02b0"),
    ("A\u03a3\u02b0b", "A\u03c3\u02b0b"),
    # The context is the original text: U+0130 is cased before it.
    ("\u0130\u03a3", "I\u0307\u03c2"),
    ("\u00df\u03a3", "SS\u03c2"),
]


@pytest.mark.parametrize("field, expected", SIGMA_CASES)
def test_final_sigma(field, expected):
    assert normalise([field]) == [expected]
    assert reference(field) == expected


@pytest.mark.parametrize("lines, expected", [
    (["\u03a3 0 0 0"], ["\u03a3"]),
    (["A\u03a3 0 0 0"], ["A\u03c2"]),
    (["A \u03a3 0 0 0"], None),                     # 'Σ' is a coordinate here
    (["\u03a3 0 0 0 A"], ["\u03a3"]),
    (["\u03a3\t0 0 0 \u0345A"], ["\u03a3"]),
    (["A\u03a3\t0 0 0 b"], ["A\u03c2"]),
    (["Ab 0 0 0 B", "\u03a3 1 1 1 C"], ["Ab", "\u03a3"]),
    (["\u03a3A 0 0 0", "A\u03a3 0 0 0", "\u03a3 0 0 0"], ["\u03a3a", "A\u03c2", "\u03a3"]),
    (["  \tA\u03a3\r\n0 0 0"], ["A\u03c2"]),
])
def test_sigma_context_is_the_symbol_field_alone(lines, expected):
    if expected is None:
        with pytest.raises(ValueError) as excinfo:
            _io_rs.parse_xyz_block_rs(lines)
        assert str(excinfo.value) == \
            "XYZ: cannot parse coordinate '\u03a3' on line 0: invalid float literal"
    else:
        assert _io_rs.parse_xyz_block_rs(lines)[0] == expected


# --- every code point ------------------------------------------------------------

PLANES = list(range(17))


@pytest.mark.parametrize("plane", PLANES)
def test_every_code_point_alone(plane):
    fields = field_characters(plane << 16, (plane << 16) + 0xFFFF)
    assert differences(fields) == []


# Each shape sorts every code point c into cased, case-ignorable or neither,
# as the Final_Sigma rule sees it: c before the sigma tells cased from the
# rest, c between a cased letter and the sigma tells neither from the rest,
# and c after the sigma tells cased from the rest again.
@pytest.mark.parametrize("shape", ["{}\u03a3", "A{}\u03a3", "A\u03a3{}", "\u0391\u03a3{}\u0391"])
@pytest.mark.parametrize("plane", PLANES)
def test_every_code_point_as_sigma_context(plane, shape):
    fields = [shape.format(c) for c in field_characters(plane << 16, (plane << 16) + 0xFFFF)]
    assert differences(fields) == []


def test_every_ascii_pair():
    # Plain ASCII fields take a byte loop of their own.
    chars = field_characters(0, 0x7F)
    assert differences([a + b for a in chars for b in chars]) == []


# --- random fields ---------------------------------------------------------------

POOL_RANGES = [
    (0x0021, 0x007E),    # ASCII
    (0x00A1, 0x024F),    # Latin-1 and Latin extended
    (0x0250, 0x036F),    # IPA, modifier letters, combining marks
    (0x0370, 0x03FF),    # Greek
    (0x0400, 0x052F),    # Cyrillic
    (0x0531, 0x058A),    # Armenian
    (0x10A0, 0x10FF),    # Georgian
    (0x13A0, 0x13FF),    # Cherokee
    (0x1C80, 0x1CBF),    # Cyrillic extended, Georgian mtavruli
    (0x1D00, 0x1DFF),    # phonetic extensions, combining marks
    (0x1E00, 0x1FFF),    # Latin extended additional, Greek extended
    (0x2000, 0x2027),    # punctuation, some case-ignorable
    (0x2126, 0x2184),    # letterlike symbols, Roman numerals
    (0x24B6, 0x24E9),    # circled letters
    (0x2C00, 0x2C7F),    # Glagolitic, Latin extended-C
    (0xA640, 0xA7FF),    # Cyrillic and Latin extended
    (0xAB70, 0xABBF),    # Cherokee small letters
    (0xFB00, 0xFB17),    # ligatures
    (0xFF21, 0xFF5A),    # fullwidth letters
    (0x10400, 0x1044F),  # Deseret
    (0x104B0, 0x104FB),  # Osage
    (0x1E900, 0x1E94B),  # Adlam
]
POOL = sorted({ch for first, last in POOL_RANGES for ch in field_characters(first, last)})
# Characters that steer Final_Sigma or map to several characters, drawn more often.
FAVOURED = list("\u03a3\u03a3\u03a3\u0345\u00b7'\u2019\u00ad\u0301\u02b0\u0130\u00df"
                "\u1e9e\u01c5\u01c6\ufb00\u0149\u0390\u1f80\u0587Aa")


def random_fields(seed, count):
    rng = random.Random(seed)
    fields = []
    for _ in range(count):
        length = rng.randint(2, 8)
        fields.append("".join(rng.choice(FAVOURED) if rng.random() < 0.35 else rng.choice(POOL)
                              for _ in range(length)))
    return fields


@pytest.mark.parametrize("seed", range(8))
def test_random_fields(seed):
    assert differences(random_fields(seed, 5000)) == []


field_text = st.text(
    alphabet=st.characters(exclude_categories=["Cs"], exclude_characters=SEPARATORS),
    min_size=1, max_size=10)


@settings(max_examples=300, deadline=None)
@given(st.lists(field_text, min_size=1, max_size=30))
def test_arbitrary_fields(fields):
    assert normalise(fields) == [reference(f) for f in fields]
