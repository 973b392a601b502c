"""The number reader shared by the parsers, seen through one-line XDATCAR
blocks: its grammar, and correct rounding (nearest double, ties to even) on
hard cases and on many generated texts, with Python's float() as oracle."""

import math
import random
import struct
import sys
from decimal import ROUND_HALF_EVEN, Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest

import _io_rs

MAX = sys.float_info.max
TINY = 5e-324  # smallest subnormal
LARGEST_SUBNORMAL = 2.225073858507201e-308
SMALLEST_NORMAL = sys.float_info.min


def read_all(texts):
    """Reads each text as the first field of its own line."""
    return _io_rs.parse_xdatcar_coords_rs([f"{t} 0 0" for t in texts])[:, 0]


def read(text):
    return float(read_all([text])[0])


def bits(x):
    return struct.pack("<d", x).hex()


def refusal(text):
    with pytest.raises(ValueError) as caught:
        read(text)
    return str(caught.value)


def exact(value: Fraction) -> str:
    """The exact decimal text of a dyadic rational, as integer digits and an exponent."""
    k = value.denominator.bit_length() - 1
    assert value.denominator == 1 << k
    return f"{value.numerator * 5**k}e-{k}"


def next_up(x):
    return math.nextafter(x, math.inf)


# --- grammar -------------------------------------------------------------

ACCEPTED = [
    ("0", 0.0), ("+0", 0.0), ("5", 5.0), ("+5", 5.0), ("-5", -5.0), ("007", 7.0),
    ("5.", 5.0), (".5", 0.5), ("5.25", 5.25), ("-.5", -0.5), ("+5.", 5.0), ("0.", 0.0), (".0", 0.0),
    ("000.000", 0.0), ("1e5", 1e5), ("1E5", 1e5), ("1e+5", 1e5), ("1E+05", 1e5), ("1e-5", 1e-5),
    ("1E-5", 1e-5), ("1e0", 1.0), ("1e-0", 1.0), ("5.e1", 50.0), (".5e1", 5.0), ("-.5E-1", -0.05),
    ("1.0E-01", 0.1), ("1.0e-01", 0.1), ("12e000000000000000000000001", 120.0),
    # Zeros between the point and the first significant digit.
    ("0.01", 0.01), (".05", 0.05), ("-0.0625", -0.0625), ("0.000976", 0.000976), ("0.05e2", 5.0),
    ("0.0000001e2", 1e-5), ("00.00125E+3", 1.25),
    ("inf", math.inf), ("INF", math.inf), ("Inf", math.inf), ("iNf", math.inf), ("+inf", math.inf),
    ("-inf", -math.inf), ("infinity", math.inf), ("INFINITY", math.inf), ("InFiNiTy", math.inf),
    ("-Infinity", -math.inf), ("+iNfInItY", math.inf),
]


@pytest.mark.parametrize("text, value", ACCEPTED)
def test_accepted(text, value):
    assert bits(read(text)) == bits(value)


@pytest.mark.parametrize("text, negative", [
    ("nan", False), ("NaN", False), ("NAN", False), ("nAn", False), ("+nan", False),
    ("-nan", True), ("-NaN", True), ("-NAN", True),
])
def test_nan_and_its_sign(text, negative):
    value = read(text)
    assert math.isnan(value)
    assert math.copysign(1.0, value) == (-1.0 if negative else 1.0)


REFUSED = {
    "point alone": [".", "+.", "-."],
    "sign alone": ["+", "-"],
    "two signs": ["++1", "--1", "+-1", "-+1", "+-inf", "--nan", "-+.5"],
    "sign after the number": ["1-", "1+", "1.5+"],
    "hexadecimal": ["0x10", "0X1A", "0x1p3", "0x1.8p1", "-0x1"],
    "other radix prefixes": ["0b101", "0o17"],
    "underscores": ["1_000", "1_0.5", "1.0_1", "1e1_0", "_1", "1_"],
    "exponent letters other than e": ["1.0D-01", "1d5", "1D5", "1q5", "1.0Q+00", "1^5"],
    "exponent without digits": ["1e", "1E", "1e+", "1e-", ".5e", "1e+-5", "1e--5", "1ee5"],
    "exponent that is not an integer": ["1e5.0", "1e.5", "1e1e1", "1e5e"],
    "exponent without mantissa": ["e5", "E5", ".e5", "+e5", "-E-5"],
    "two points": ["1.2.3", "..5", "5..", "1..2"],
    "comma": ["1,5", "1,", ",5", "1,000.0"],
    "trailing letters": ["1f", "1.5x", "5%", "1j", "1L", "0.5d", "1e5x", "infx", "nanx"],
    "incomplete or longer words": ["in", "-in", "infinit", "infinityy", "infs", "inf1", "inf.0",
                                   "na", "nans", "nan0", "snan", "qnan", "-infinitys"],
    "nan with payload": ["nan(123)", "nan()", "NaN(0x1)", "-nan(ind)"],
    "other words": ["True", "None", "one", "e", "E", "x", "\u221e"],
    "non-ASCII digits": ["\uff11", "\u0661\u0662", "\u0967", "\u00b2", "\u00bd", "1\u0660", "1e\u0663"],
    "control characters": ["1\x00", "\x001", "1\x0b", "1\x7f", "1\x1c2"],
}


@pytest.mark.parametrize("text", [t for texts in REFUSED.values() for t in texts],
                         ids=[f"{k}: {t!r}" for k, texts in REFUSED.items() for t in texts])
def test_refused(text):
    assert refusal(text) == f"XDATCAR: cannot parse '{text}' on line 0: invalid float literal"


@pytest.mark.parametrize("line, first", [("1 000 0", 1.0), ("1 5 0", 1.0), ("- 1 0 0", None), ("1 e5 0", None)])
def test_spaces_end_a_number(line, first):
    # A space splits the text into two fields; it is never part of a number.
    if first is None:
        with pytest.raises(ValueError):
            _io_rs.parse_xdatcar_coords_rs([line])
    else:
        assert _io_rs.parse_xdatcar_coords_rs([line])[0, 0] == first


# --- signs ---------------------------------------------------------------

@pytest.mark.parametrize("text, sign", [
    ("0", 1.0), ("+0", 1.0), ("0.0", 1.0), ("1e-400", 1.0), ("0e99999999", 1.0),
    ("-0", -1.0), ("-0.0", -1.0), ("-.0", -1.0), ("-0.", -1.0), ("-0e5", -1.0),
    ("-0.000e-999", -1.0), ("-0e99999999", -1.0), ("-1e-400", -1.0), ("-" + "0" * 500, -1.0),
])
def test_sign_of_zero(text, sign):
    value = read(text)
    assert value == 0.0 and math.copysign(1.0, value) == sign


@pytest.mark.parametrize("text, value", [
    ("-inf", -math.inf), ("-INFINITY", -math.inf), ("-1e400", -math.inf), ("-1e99999", -math.inf),
    ("+1e400", math.inf), ("1e309", math.inf),
])
def test_sign_of_infinity(text, value):
    assert read(text) == value


# --- correct rounding on hard cases --------------------------------------

BOUNDARIES = [
    ("1.7976931348623157e308", MAX),
    ("1.7976931348623158e308", MAX),
    ("1.7976931348623159e308", math.inf),
    ("1e308", 1e308),
    ("4.9406564584124654e-324", TINY),
    ("3e-324", TINY),
    ("2.4703282292062328e-324", TINY),
    ("2.4703282292062327e-324", 0.0),
    ("1e-324", 0.0),
    ("7.5e-324", 2 * TINY),
    ("2.2250738585072009e-308", LARGEST_SUBNORMAL),
    ("2.2250738585072011e-308", LARGEST_SUBNORMAL),
    ("2.2250738585072012e-308", SMALLEST_NORMAL),
    ("2.2250738585072014e-308", SMALLEST_NORMAL),
    ("0.1", 0.1), ("1e23", 1e23), ("8.98846567431158e307", 8.98846567431158e307),
    ("9007199254740993", 9007199254740992.0),
    ("9007199254740995", 9007199254740996.0),
    ("123456789012345678901234567890", 1.2345678901234568e29),
]


@pytest.mark.parametrize("text, value", BOUNDARIES)
def test_boundaries(text, value):
    assert bits(read(text)) == bits(value)


# Each double x with its upper neighbour; the text of their exact midpoint
# rounds to the one with the even mantissa, a hair above it rounds up and a
# hair below rounds down. The neighbour of the largest double is infinity.
LOWER_NEIGHBOURS = [0.0, TINY, 2 * TINY, LARGEST_SUBNORMAL, SMALLEST_NORMAL, 0.1, 1.0, 2.0**53,
                    1e23, 123.456, 1e-300, 2.0**-1022 * 1.5, MAX]


def midpoint(x):
    # ulp(x) is the gap to the upper neighbour, also above the largest double.
    return Fraction(x) + Fraction(math.ulp(x)) / 2, next_up(x)


def tie_texts(x, zeros):
    middle, upper = midpoint(x)
    digits, exponent = exact(middle).split("e-")
    k = int(exponent)
    tie = exact(middle)
    above = f"{digits}{'0' * zeros}1e-{k + zeros + 1}"
    below = f"{int(digits) - 1}{'9' * zeros}e-{k + zeros}"
    even = x if struct.unpack("<q", struct.pack("<d", x))[0] % 2 == 0 else upper
    return [(tie, even), (above, upper), (below, x)]


@pytest.mark.parametrize("zeros", [1, 30, 5000])
@pytest.mark.parametrize("x", LOWER_NEIGHBOURS, ids=[repr(x) for x in LOWER_NEIGHBOURS])
def test_halfway_cases(x, zeros):
    cases = tie_texts(x, zeros)
    texts = [t for t, _ in cases] + ["-" + t for t, _ in cases]
    expected = [v for _, v in cases] + [-v for _, v in cases]
    assert [bits(v) for v in read_all(texts)] == [bits(v) for v in expected]


MILLION = 10**6
LONG_TEXTS = [
    ("a third", "0." + "3" * MILLION, 1 / 3),
    ("tie then a far one", "9007199254740993." + "0" * MILLION + "1", 9007199254740994.0),
    ("exact tie", "9007199254740993." + "0" * MILLION, 9007199254740992.0),
    ("just below a tie", "9007199254740992." + "9" * MILLION, 9007199254740992.0),
    ("scaled integer", "1" + "0" * 65000 + "e-65000", 1.0),
    ("leading zeros", "0" * MILLION + "2.5", 2.5),
    ("fraction zeros", "0." + "0" * 300 + "1" + "0" * MILLION + "e300", 0.1),
    ("401 digits", "3." + "14159265358979323846" * 20, math.pi),
    ("long subnormal", "0." + "0" * 323 + "49406564584124654" + "1" * 1000, TINY),
]


@pytest.mark.parametrize("text, value", [c[1:] for c in LONG_TEXTS], ids=[c[0] for c in LONG_TEXTS])
def test_long_digit_strings(text, value):
    assert bits(read(text)) == bits(value)


# Exponent digits are taken until the exponent reaches 65536 or more; the
# digits after that are ignored, so a huge exponent cannot make up for more
# than about 655359 leading zeros.
EXPONENT_DIGITS = [
    ("leading zeros in exponent", "1e" + "0" * 50 + "5", 1e5),
    ("leading zeros, negative", "1e-" + "0" * 50 + "300", 1e-300),
    ("just below the cut", "1e65535", math.inf),
    ("just below the cut, negative", "1e-65535", 0.0),
    ("cut at 65536", "0." + "0" * 65535 + "1e65536", 1.0),
    ("digits after 65536 ignored", "0." + "0" * 65535 + "1e65536999", 1.0),
    ("65535 takes one digit more", "0." + "0" * 655358 + "1e6553599", 1.0),
    ("negative exponent cut", "1" + "0" * 65536 + "e-65536000", 1.0),
    ("huge exponent of many zeros", "0." + "0" * 70000 + "1e700109999", 1e9),
    ("cut exponent cannot reach", "0." + "0" * MILLION + "1e1000001", 0.0),
    ("cut exponent cannot scale down", "1" + "0" * MILLION + "e-1000000", math.inf),
    ("endless exponent", "1e" + "7" * 5000, math.inf),
    ("endless negative exponent", "1e-" + "7" * 5000, 0.0),
    ("zero with endless exponent", "0e" + "9" * 5000, 0.0),
    ("large mantissa, cut exponent", "1" + "0" * 100 + "e-99999999999999999999", 0.0),
]


@pytest.mark.parametrize("text, value", [c[1:] for c in EXPONENT_DIGITS], ids=[c[0] for c in EXPONENT_DIGITS])
def test_exponent_digits(text, value):
    assert bits(read(text)) == bits(value)


def test_spellings_of_one_value_agree():
    # Short texts and their padded spellings take different roads through
    # the reader; they must land on the same double.
    spellings = ["0.1", "0.10", ".1", "1e-1", "1E-1", "0.1e0", "01e-1", "100000000000000000000000e-24",
                 "0.0000000000000000000000001e24", "0.1" + "0" * 1000, "0" * 1000 + ".1",
                 "1" + "0" * 400 + "e-401"]
    assert {bits(v) for v in read_all(spellings)} == {bits(0.1)}


# --- generated texts against float() -------------------------------------

def random_double(rng):
    while True:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            return x


def spellings_of(rng, x):
    """Texts close to or exactly at x, in forms the grammar allows."""
    texts = [repr(x), format(x, f".{rng.randint(15, 25)}e"), format(x, f".{rng.randint(0, 20)}E")]
    if 1e-30 < abs(x) < 1e30:
        texts.append(format(x, f".{rng.randint(0, 40)}f"))
    return texts


def random_decimal(rng):
    """Digits with a point somewhere and an exponent, all parts optional where allowed."""
    count = rng.choice([rng.randint(1, 20), rng.randint(1, 40), rng.randint(100, 800)])
    digits = "".join(rng.choice("0123456789") for _ in range(count))
    point = rng.randint(0, count)
    text = digits[:point] + rng.choice([".", ""]) + digits[point:]
    if rng.random() < 0.8:
        exponent = rng.randint(-360 - count, 330)
        text += rng.choice("eE") + (rng.choice(["+", ""]) if exponent >= 0 else "") + str(exponent)
    return rng.choice(["", "-", "+"]) + text


def random_tie(rng):
    """The exact midpoint between a random double and its upper neighbour,
    or a hair on either side of it."""
    x = abs(random_double(rng))
    if rng.random() < 0.3:
        x = math.ldexp(rng.random(), rng.randint(-1074, -1000))  # subnormals and near them
    middle, _ = midpoint(x)
    digits, exponent = exact(middle).split("e-")
    zeros = rng.randint(0, 40)
    return rng.choice([
        exact(middle),
        f"{digits}{'0' * zeros}1e-{int(exponent) + zeros + 1}",
        f"{int(digits) - 1}{'9' * zeros}e-{int(exponent) + zeros}",
    ])


def fixed_near(value, digits=19):
    """value in plain positional notation with `digits` digits in all (the
    integer part's included), rounded half to even, and one unit in the last
    place above and below: short texts that fall close to value."""
    with localcontext() as context:
        context.prec = 2000
        exact_value = Decimal(value.numerator) / Decimal(value.denominator)
        whole = len(str(int(exact_value)))
        unit = Decimal(1).scaleb(whole - digits)
        rounded = exact_value.quantize(unit, rounding=ROUND_HALF_EVEN)
        return [f"{v:f}" for v in (rounded, rounded + unit, rounded - unit) if v > 0]


def random_short(rng):
    """Positional texts of at most 19 digits and no exponent, as coordinate
    columns are usually written, some of them at a hair from a midpoint."""
    if rng.random() < 0.5:
        count = rng.randint(1, 19)
        digits = "".join(rng.choice("0123456789") for _ in range(count))
        point = rng.randint(0, count)
        return [rng.choice(["", "-", "+"]) + digits[:point] + "." + digits[point:]]
    x = 10 ** rng.uniform(-4, 18.9)
    middle, _ = midpoint(x)
    return fixed_near(middle, rng.randint(16, 19))


def generated_texts(seed, count):
    rng = random.Random(seed)
    texts = []
    while len(texts) < count:
        kind = rng.random()
        if kind < 0.25:
            texts.extend(spellings_of(rng, random_double(rng)))
        elif kind < 0.5:
            texts.append(random_decimal(rng))
        elif kind < 0.75:
            texts.extend(random_short(rng))
        else:
            texts.append(random_tie(rng))
    return texts


def test_short_texts_around_powers_of_two():
    # Just below a power of two the gap to the lower neighbour halves.
    texts = []
    for e in range(-13, 64):
        x = 2.0**e
        below = math.nextafter(x, 0.0)
        for middle in (midpoint(below)[0], midpoint(x)[0]):
            for digits in (17, 18, 19):
                texts.extend(fixed_near(middle, digits))
    got = read_all(texts).view(np.uint64)
    want = np.array([float(t) for t in texts]).view(np.uint64)
    assert [t for t, g, w in zip(texts, got, want) if g != w] == []


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_generated_texts_match_float(seed):
    texts = generated_texts(seed, 12000)
    got = read_all(texts).view(np.uint64)
    want = np.array([float(t) for t in texts]).view(np.uint64)
    wrong = [(t, float(t).hex(), float(g.view(np.float64)).hex())
             for t, g, w in zip(texts, got, want) if g != w]
    assert wrong == []
