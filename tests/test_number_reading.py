"""The number reader shared by the parsers, seen mostly through one-line
XDATCAR blocks: its grammar (a regular expression is the oracle of what it
takes) and correct rounding (nearest double, ties to even), with Python's
float() as the oracle wherever the two agree on the grammar; literal texts
first, then generated ones.

Hypothesis example counts are modest so that the file runs in seconds; set
HYPOTHESIS_PROFILE=long for a run fifty times as long."""

import math
import os
import random
import re
import struct
from decimal import ROUND_HALF_EVEN, Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _io_rs

MAX = 1.7976931348623157e308
TINY = 5e-324  # the smallest subnormal


def read_all(texts):
    """Reads each text as the first field of its own line."""
    return _io_rs.parse_xdatcar_coords_rs([f"{t} 0 0" for t in texts])[:, 0]


def bits(x):
    return struct.pack("<d", x).hex()


def mismatches(texts, expected=None):
    """The texts not read to exactly the bits of float() (or of expected)."""
    want = [float(t) for t in texts] if expected is None else expected
    return [(t[:60], w, g) for t, g, w in zip(texts, read_all(texts).tolist(), want) if bits(g) != bits(w)]


# --- the grammar --------------------------------------------------------------

SEPARATORS = " \t\f\r\n"
# The grammar with ASCII digits only ([0-9], never \d, which takes every
# Unicode digit).
GRAMMAR = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))\Z")


def check_field(text):
    """A field the grammar takes reads to the bits of float(); any other is
    refused, quoted whole."""
    if GRAMMAR.match(text):
        assert mismatches([text]) == []
    else:
        with pytest.raises(ValueError) as caught:
            read_all([text])
        assert str(caught.value) == f"XDATCAR: cannot parse '{text}' on line 0: invalid float literal"


ACCEPTED = [
    "0", "+0", "-0", "5", "+5", "-5", "007", "5.", ".5", "5.25", "-.5", "+5.", "0.", ".0", "-.0", "-0.",
    "000.000", "1e5", "1E5", "1e+5", "1E+05", "1e-5", "1e-0", "5.e1", ".5e1", "-.5E-1", "1.0E-01",
    "12e000000000000000000000001", "-0e5", "-0.000e-999", "0e99999999", "-0e99999999", "-" + "0" * 500,
    # Zeros between the point and the first significant digit.
    "0.01", ".05", "-0.0625", "0.000976", "0.05e2", "0.0000001e2", "00.00125E+3",
    "inf", "INF", "iNf", "+inf", "-inf", "infinity", "InFiNiTy", "-Infinity", "+iNfInItY",
    "nan", "NaN", "nAn", "+nan", "-nan", "-NAN",
    # Overflow and underflow are values, not errors.
    "1e400", "-1e400", "1e309", "-1e99999", "1e-400", "-1e-400",
    # Boundaries of the double range and of its rounding.
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "4.9406564584124654e-324",
    "3e-324", "2.4703282292062328e-324", "2.4703282292062327e-324", "7.5e-324", "2.2250738585072009e-308",
    "2.2250738585072011e-308", "2.2250738585072012e-308", "0.1", "1e23", "8.98846567431158e307",
    "9007199254740993", "9007199254740995", "123456789012345678901234567890", "0.09999999999999999",
]


REFUSED = [
    ".", "+.", "-.", "+", "-", "++1", "--1", "+-1", "-+.5", "+-inf", "--nan", "1-", "1.5+",
    "0x10", "0X1A", "0x1p3", "-0x1", "0b101", "0o17", "1_000", "1.0_1", "1e1_0", "_1",
    "1.0D-01", "1d5", "1q5", "1^5", "1e", "1E", "1e+", "1e-", ".5e", "1e+-5", "1ee5", "1e5.0", "1e.5", "1e1e1",
    "e5", ".e5", "-E-5", "1.2.3", "..5", "5..", "1,5", ",5", "1f", "1.5x", "5%", "1j", "0.5d", "1e5x",
    "in", "infinit", "infinityy", "infs", "inf1", "inf.0", "na", "nans", "nan0", "snan", "-infinitys",
    "nan(123)", "NaN(0x1)", "True", "e", "x", "\u221e", "\uff11", "\u0661\u0662", "\u00b2", "\u00bd", "1\u0660",
    "1e\u0663", "1\x00", "\x001", "1\x7f",
]


@pytest.mark.parametrize("text", ACCEPTED + REFUSED, ids=ascii)
def test_literal_texts(text):
    check_field(text)


def test_nan_signs():
    nans = read_all(["nan", "-nan", "+NaN"])
    assert np.isnan(nans).all() and np.signbit(nans).tolist() == [False, True, False]


# --- correct rounding on hard cases ----------------------------------------------

def exact(value: Fraction) -> str:
    """The exact decimal text of a dyadic rational, as integer digits and an exponent."""
    k = value.denominator.bit_length() - 1
    return f"{value.numerator * 5**k}e-{k}"


def midpoint(x):
    # ulp(x) is the gap to the upper neighbour, also above the largest double.
    return Fraction(x) + Fraction(math.ulp(x)) / 2


def around_midpoint(x, zeros):
    """The exact midpoint above x and texts a hair above and below it."""
    digits, exponent = exact(midpoint(x)).split("e-")
    k = int(exponent)
    return [f"{digits}e-{k}", f"{digits}{'0' * zeros}1e-{k + zeros + 1}", f"{int(digits) - 1}{'9' * zeros}e-{k + zeros}"]


@pytest.mark.parametrize("zeros", [1, 5000])
def test_halfway_cases(zeros):
    lower = [0.0, TINY, 2 * TINY, 2.225073858507201e-308, 2.2250738585072014e-308, 0.1, 1.0, 2.0**53, 1e23,
             123.456, 1e-300, 2.0**-1022 * 1.5, MAX]
    texts = [sign + t for x in lower for t in around_midpoint(x, zeros) for sign in ("", "-")]
    assert mismatches(texts) == []


MILLION = 10**6
LONG_TEXTS = [
    ("0." + "3" * MILLION, 1 / 3),
    ("9007199254740993." + "0" * MILLION + "1", 9007199254740994.0),
    ("9007199254740993." + "0" * MILLION, 9007199254740992.0),
    ("9007199254740992." + "9" * MILLION, 9007199254740992.0),
    ("0" * MILLION + "2.5", 2.5),
    ("0." + "0" * 300 + "1" + "0" * MILLION + "e300", 0.1),
    ("0." + "0" * 323 + "49406564584124654" + "1" * 1000, TINY),
]


def test_long_digit_strings():
    assert mismatches([t for t, _ in LONG_TEXTS], [v for _, v in LONG_TEXTS]) == []


# Exponent digits are taken until the exponent reaches 65536 or more; the
# digits after that are ignored, so a huge exponent cannot make up for more
# than about 655359 leading zeros.
EXPONENT_DIGITS = [
    ("1e" + "0" * 50 + "5", 1e5),
    ("1e65535", math.inf),
    ("1e-65535", 0.0),
    ("0." + "0" * 65535 + "1e65536", 1.0),
    ("0." + "0" * 65535 + "1e65536999", 1.0),
    ("0." + "0" * 655358 + "1e6553599", 1.0),
    ("1" + "0" * 65536 + "e-65536000", 1.0),
    ("0." + "0" * 70000 + "1e700109999", 1e9),
    ("0." + "0" * MILLION + "1e1000001", 0.0),
    ("1" + "0" * MILLION + "e-1000000", math.inf),
    ("1e" + "7" * 5000, math.inf),
    ("-1e-" + "7" * 5000, -0.0),
    ("1" + "0" * 100 + "e-99999999999999999999", 0.0),
]


def test_exponent_digits_after_65536_are_ignored():
    assert mismatches([t for t, _ in EXPONENT_DIGITS], [v for _, v in EXPONENT_DIGITS]) == []


def test_spellings_of_one_value_agree():
    # Short texts and their padded spellings take different roads through
    # the reader; they must land on the same double.
    spellings = ["0.1", "0.10", ".1", "1e-1", "0.1e0", "01e-1", "100000000000000000000000e-24",
                 "0.0000000000000000000000001e24", "0.1" + "0" * 1000, "0" * 1000 + ".1", "1" + "0" * 400 + "e-401"]
    assert {bits(v) for v in read_all(spellings)} == {bits(0.1)}


# --- generated texts against float() -----------------------------------------------

def fixed_near(value, digits):
    """value in positional notation with `digits` digits in all, rounded half
    to even, and one unit in the last place above and below it."""
    with localcontext() as context:
        context.prec = 2000
        exact_value = Decimal(value.numerator) / Decimal(value.denominator)
        unit = Decimal(1).scaleb(len(str(int(exact_value))) - digits)
        rounded = exact_value.quantize(unit, rounding=ROUND_HALF_EVEN)
        return [f"{v:f}" for v in (rounded, rounded + unit, rounded - unit) if v > 0]


def test_short_texts_near_midpoints():
    # 17 to 19 digits and no exponent, as coordinates are written, a hair
    # from a midpoint; just below a power of two the gap halves.
    texts = []
    for e in range(-13, 64):
        for x in (2.0**e, math.nextafter(2.0**e, 0.0)):
            for digits in (17, 18, 19):
                texts.extend(fixed_near(midpoint(x), digits))
    rng = random.Random(7)
    for _ in range(3000):
        texts.extend(fixed_near(midpoint(10 ** rng.uniform(-4, 18.9)), rng.randint(16, 19)))
    assert mismatches(texts) == []


def generated_texts(rng, count):
    texts = []
    while len(texts) < count:
        kind = rng.random()
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if kind < 0.25 and math.isfinite(x):
            texts += [repr(x), format(x, f".{rng.randint(15, 25)}e"), format(x, f".{rng.randint(0, 20)}E")]
            if 1e-30 < abs(x) < 1e30:
                texts.append(format(x, f".{rng.randint(0, 40)}f"))
        elif kind < 0.75:
            # Digits with a point somewhere, short or long, maybe an exponent.
            count_digits = rng.choice([rng.randint(1, 19), rng.randint(1, 40), rng.randint(100, 800)])
            digits = "".join(rng.choice("0123456789") for _ in range(count_digits))
            point = rng.randint(0, count_digits)
            text = rng.choice(["", "-", "+"]) + digits[:point] + rng.choice([".", ""]) + digits[point:]
            if rng.random() < 0.5:
                text += rng.choice("eE") + str(rng.randint(-360 - count_digits, 330))
            texts.append(text)
        elif math.isfinite(x):
            if rng.random() < 0.3:
                x = math.ldexp(rng.random(), rng.randint(-1074, -1000))  # subnormals and near them
            texts.append(rng.choice(around_midpoint(abs(x), rng.randint(0, 40))))
    return texts


@pytest.mark.parametrize("seed", [1, 2])
def test_generated_texts_match_float(seed):
    assert mismatches(generated_texts(random.Random(seed), 15000)) == []


# --- generated texts of the grammar and near misses -----------------------------

SCALE = 50 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1


def examples(n):
    return settings(max_examples=n * SCALE, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# Characters that make near misses: pieces of the grammar and of what it refuses.
near_misses = st.text("0123456789.eE+-infatyINFATYxXpDd_, \u00a0\u0665", min_size=1, max_size=12)


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
        assert bits(value) == bits(float(text)), (text, value)


@examples(400)
@given(near_misses)
@example("1.0D-01")
@example("\u0665")  # an Arabic-Indic digit: a digit to Python, not to the grammar
def test_near_misses(text):
    field = text.strip(SEPARATORS)
    if field and not any(c in SEPARATORS for c in field):  # one field; splitting is tested elsewhere
        check_field(field)
