"""How numbers and short texts are spelled in every formatter's output:
fixed-point fields (width 11 / 8 decimals in XDATCAR, 19 / 16 in POSCAR,
22 / 15 in XYZ), the XDATCAR frame number and the padded symbol and flag
texts. The differential tests compare over a million values per precision
with CPython's own exact fixed-point formatting."""

import math
import sys
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

import _io_rs


def from_bits(bits):
    """The float64 with exactly this bit pattern (NaN payloads and signs kept)."""
    return np.array([bits], dtype=np.uint64).view(np.float64)[0]


NEG_NAN = from_bits(0xFFF8_0000_0000_0000)
PAYLOAD_NAN = from_bits(0x7FF0_0000_0000_0001)
NEG_PAYLOAD_NAN = from_bits(0xFFFF_FFFF_FFFF_FFFF)


@dataclass(frozen=True)
class Writer:
    """One formatter seen as a writer of fixed-point fields: its width, the
    text before the first line, and what comes before the first field."""

    width: int
    precision: int
    call: Callable[[np.ndarray], str]
    head: str
    lead: str
    symbol_column: bool = False

    def zero(self):
        return "0." + "0" * self.precision

    def first_field(self, value):
        """Writes the row (value, 0, 0) and returns the first field exactly as
        it stands in the line, fill spaces included."""
        text = self.call(np.array([[value, 0.0, 0.0]], dtype=np.float64))
        tail = (" " + self.zero().rjust(self.width)) * 2 + "\n"
        assert text.startswith(self.head + self.lead)
        assert text.endswith(tail)
        return text[len(self.head) + len(self.lead):-len(tail)]


XDATCAR = Writer(11, 8, lambda a: _io_rs.format_xdatcar_config_rs(a, 1),
                 "Direct configuration=     1\n", "  ")
XYZ = Writer(22, 15, lambda a: _io_rs.format_xyz_block_rs(["H"] * len(a), a), "", "H  ",
             symbol_column=True)
POSCAR = Writer(19, 16, lambda a: _io_rs.format_poscar_positions_rs(a), "", " ")
WRITERS = {8: XDATCAR, 15: XYZ, 16: POSCAR}


# --- The fixed-point table, W = 11 and P = 8 ---------------------------------

MAX_DOUBLE_DIGITS = str(int(sys.float_info.max))

XDATCAR_FIELDS = [
    (0.5, " 0.50000000"),
    (-0.5, "-0.50000000"),
    (12.5, "12.50000000"),
    (-12.5, "-12.50000000"),
    (123.456, "123.45600000"),
    (9.999999996, "10.00000000"),
    (99.999999996, "100.00000000"),
    (0.001953125, " 0.00195312"),
    (0.005859375, " 0.00585938"),
    (-0.001953125, "-0.00195312"),
    (0.1, " 0.10000000"),
    (0.0, " 0.00000000"),
    (-0.0, "-0.00000000"),
    (-1e-12, "-0.00000000"),
    (1e-12, " 0.00000000"),
    (5e-324, " 0.00000000"),
    (-5e-324, "-0.00000000"),
    (9.999999995, " 9.99999999"),
    (5e-9, " 0.00000001"),
    (1e16, "1" + "0" * 16 + ".00000000"),
    (-1e16, "-1" + "0" * 16 + ".00000000"),
    (sys.float_info.max, MAX_DOUBLE_DIGITS + ".00000000"),
    (math.nan, "        NaN"),
    (NEG_NAN, "        NaN"),
    (PAYLOAD_NAN, "        NaN"),
    (NEG_PAYLOAD_NAN, "        NaN"),
    (math.inf, "        inf"),
    (-math.inf, "       -inf"),
]


@pytest.mark.parametrize("value, field", XDATCAR_FIELDS, ids=[f for _, f in XDATCAR_FIELDS])
def test_xdatcar_fixed_point_fields(value, field):
    assert XDATCAR.first_field(value) == field


def test_huge_value_writes_every_digit_of_its_binary_value():
    # 1e300 is not 10**300; its exact integer already differs at digit 18.
    digits = str(int(1e300))
    assert len(digits) == 301 and digits[17] == "5"
    assert XDATCAR.first_field(1e300) == digits + ".00000000"


# Ties sit at odd multiples of 2**-(P+1); the kept digit decides the way.
WIDE_FIELDS = [
    (POSCAR, 1.0, " 1.0000000000000000"),
    (POSCAR, -0.0, "-0.0000000000000000"),
    (POSCAR, 2.0**-17, " 0.0000076293945312"),
    (POSCAR, 3 * 2.0**-17, " 0.0000228881835938"),
    (POSCAR, 0.09999999999999999, " 0.1000000000000000"),
    (POSCAR, -10.5, "-10.5000000000000000"),
    (POSCAR, 123.0, "123.0000000000000000"),
    (POSCAR, math.nan, "                NaN"),
    (POSCAR, -math.inf, "               -inf"),
    (XYZ, -1234567.5, "-1234567.500000000000000"),
    (XYZ, -1.5, "    -1.500000000000000"),
    (XYZ, 2.0**-16, "     0.000015258789062"),
    (XYZ, 3 * 2.0**-16, "     0.000045776367188"),
    (XYZ, 0.9999999999999999, "     1.000000000000000"),
    (XYZ, -1e-300, "    -0.000000000000000"),
    (XYZ, NEG_NAN, "                   NaN"),
    (XYZ, math.inf, "                   inf"),
]


@pytest.mark.parametrize("writer, value, field", WIDE_FIELDS,
                         ids=[f"P{w.precision}-{f.strip()}" for w, _, f in WIDE_FIELDS])
def test_poscar_and_xyz_fixed_point_fields(writer, value, field):
    assert writer.first_field(value) == field


# --- Integer writing: the XDATCAR frame number, width 6 ----------------------

FRAME_NUMBERS = [
    (0, "     0"),
    (1, "     1"),
    (42, "    42"),
    (123456, "123456"),
    (1234567, "1234567"),
    (2**64 - 1, "18446744073709551615"),
]


@pytest.mark.parametrize("index, written", FRAME_NUMBERS, ids=[str(i) for i, _ in FRAME_NUMBERS])
def test_frame_number_in_header(index, written):
    text = _io_rs.format_xdatcar_config_rs(np.zeros((0, 3)), index)
    assert text == "Direct configuration=" + written + "\n"


# --- Padded text writing: symbols (left, 2) and flags (right, 4) -------------

# Width counts code points, not bytes and not display columns.
SYMBOL_FIELDS = [
    ("H", "H "),
    ("Fe", "Fe"),
    ("Abc", "Abc"),
    ("\u00e9", "\u00e9 "),            # two UTF-8 bytes
    ("\u4e2d", "\u4e2d "),            # three bytes, wide on screen
    ("\U0001f600", "\U0001f600 "),    # four bytes
    ("e\u0301", "e\u0301"),           # two code points that display as one
    ("fe", "fe"),                     # never normalised on writing
]


@pytest.mark.parametrize("symbol, field", SYMBOL_FIELDS, ids=[ascii(s) for s, _ in SYMBOL_FIELDS])
def test_symbol_padding(symbol, field):
    text = _io_rs.format_xyz_block_rs([symbol], np.zeros((1, 3)))
    assert text == field + (" " + XYZ.zero().rjust(22)) * 3 + "\n"


@pytest.mark.parametrize("flags, letters", [
    ([True, False, True], "   F   T   F"),
    ([False, False, False], "   T   T   T"),
    ([True, True, True], "   F   F   F"),
])
def test_flag_letters(flags, letters):
    text = _io_rs.format_poscar_positions_rs(np.zeros((1, 3)), np.array([flags]))
    assert text == (" " + POSCAR.zero().rjust(19)) * 3 + letters + "\n"


# --- Differential test against CPython's exact fixed-point formatting --------
#
# Each value class yields a float64 array for a precision; every class runs
# through the formatter of that precision in chunks and each field is
# compared with format(x, '.{P}f'), which rounds the exact binary value half
# to even. Over all classes each precision sees about 1.39 million values.

CHUNK = 300_000


def random_bit_patterns(rng, p):
    # Every class at once: mostly huge or tiny magnitudes, some NaN payloads.
    return np.frombuffer(rng.bytes(8 * 300_000), dtype=np.float64)


def with_random_signs(rng, x):
    return np.where(rng.integers(0, 2, x.size) == 1, -x, x)


def neighbours(x, steps):
    """x and its neighbours up to `steps` representable values away."""
    out = [x]
    up, down = x, x
    for _ in range(steps):
        up = np.nextafter(up, np.inf)
        down = np.nextafter(down, -np.inf)
        out += [up, down]
    return np.concatenate(out)


def exact_ties(rng, p):
    # Odd multiples of 2**-(p+1) are exactly the doubles whose expansion ends
    # in a 5 at place p+1; their neighbours are just above and below the tie.
    bits = rng.integers(1, 54, 80_000)
    odd = 2 * rng.integers(0, 2 ** (bits - 1)) + 1
    ties = odd.astype(np.float64) * 2.0 ** -(p + 1)
    return neighbours(with_random_signs(rng, ties), 1)


def near_decimal_halves(rng, p):
    # The doubles nearest to n.5 units of the last place, where a wrong
    # shortcut through a shorter decimal spelling would round the other way;
    # 10**k - 1 makes the round-up carry through every digit.
    n = np.floor(10.0 ** rng.uniform(0, 15, 50_000))
    n[:15] = 10.0 ** np.arange(1, 16) - 1
    halves = (n + 0.5) / 10.0**p
    return neighbours(with_random_signs(rng, halves), 2)


def powers_of_ten(rng, p):
    bases = np.array([float(f"{m}e{k}") for k in range(-325, 309) for m in (1, 5)])
    near = neighbours(bases, 12)
    return np.concatenate([near, -near])


def powers_of_two(rng, p):
    # Every binade edge from the smallest subnormal to the largest double:
    # where the integer part starts, leaves 64 bits, or the fraction needs
    # more than 64 or 128 bits after scaling.
    edges = np.ldexp(1.0, np.arange(-1074, 1024))
    near = neighbours(edges, 3)
    near = near[np.isfinite(near)]
    return np.concatenate([near, -near])


def large_magnitudes(rng, p):
    # Every binade from 2**53 (about 1e16) to the largest finite double,
    # plus extra weight where integer digits start to run out (1e15..1e17).
    exponents = np.concatenate([rng.integers(1076, 2047, 150_000),
                                rng.integers(1070, 1080, 50_000)]).astype(np.uint64)
    mantissas = rng.integers(0, 2**52, exponents.size, dtype=np.uint64)
    signs = rng.integers(0, 2, exponents.size, dtype=np.uint64)
    return ((signs << np.uint64(63)) | (exponents << np.uint64(52)) | mantissas).view(np.float64)


def subnormals(rng, p):
    mantissas = rng.integers(1, 2**52, 80_000, dtype=np.uint64)
    mantissas[:2] = [1, 2**52 - 1]
    signs = rng.integers(0, 2, mantissas.size, dtype=np.uint64)
    return ((signs << np.uint64(63)) | mantissas).view(np.float64)


def rounding_to_zero(rng, p):
    # Normal values far below half a unit of the last place: "0.000..." with
    # the sign kept for negative ones.
    top = 1023 - math.ceil((p + 1) * math.log2(10))
    exponents = rng.integers(1, top, 50_000, dtype=np.uint64)
    mantissas = rng.integers(0, 2**52, exponents.size, dtype=np.uint64)
    signs = rng.integers(0, 2, exponents.size, dtype=np.uint64)
    return ((signs << np.uint64(63)) | (exponents << np.uint64(52)) | mantissas).view(np.float64)


def everyday_values(rng, p):
    short_decimals = rng.integers(-10**6, 10**6, 60_000) / 10.0 ** rng.integers(0, 9, 60_000)
    return np.concatenate([rng.random(60_000), rng.uniform(-1000, 1000, 60_000), short_decimals])


def special_values(rng, p):
    patterns = [0x0000_0000_0000_0000, 0x8000_0000_0000_0000,   # zeros
                0x7FF0_0000_0000_0000, 0xFFF0_0000_0000_0000,   # infinities
                0x7FF8_0000_0000_0000, 0xFFF8_0000_0000_0000,   # quiet NaNs
                0x7FF0_0000_0000_0001, 0xFFF0_0000_0000_0001,   # signalling NaNs
                0x7FFF_FFFF_FFFF_FFFF, 0xFFFF_FFFF_FFFF_FFFF,   # payload NaNs
                0x0010_0000_0000_0000, 0x7FEF_FFFF_FFFF_FFFF]   # extreme normals
    return np.array(patterns * 100, dtype=np.uint64).view(np.float64)


VALUE_CLASSES = [random_bit_patterns, exact_ties, near_decimal_halves, powers_of_ten,
                 powers_of_two, large_magnitudes, subnormals, rounding_to_zero,
                 everyday_values, special_values]


def class_values(make, precision):
    seed = VALUE_CLASSES.index(make) * 100 + precision
    return make(np.random.default_rng(seed), precision)


def reference_fields(values, precision):
    fixed = f".{precision}f"
    # format() spells NaN 'nan' (or '-nan'); the module writes NaN, unsigned.
    return ["NaN" if s[-1] == "n" else s for s in (format(x, fixed) for x in values.tolist())]


def first_difference(got, expected):
    return next(i for i, (g, e) in enumerate(zip(got, expected)) if g != e)


def check_against_reference(writer, values):
    for start in range(0, values.size, CHUNK):
        chunk = values[start:start + CHUNK]
        chunk = np.concatenate([chunk, np.zeros(-chunk.size % 3)])
        text = writer.call(chunk.reshape(-1, 3))

        assert text.startswith(writer.head)
        body = text[len(writer.head):]
        fields = body.split()
        if writer.symbol_column:
            assert fields[::4] == ["H"] * (chunk.size // 3)
            del fields[::4]
        expected = reference_fields(chunk, writer.precision)
        assert len(fields) == len(expected)
        if fields != expected:
            i = first_difference(fields, expected)
            bits = int(chunk[i:i + 1].view(np.uint64)[0])
            pytest.fail(f"value {chunk[i]!r} (bits {bits:#018x}): "
                        f"wrote {fields[i]!r}, expected {expected[i]!r}")

        # Each field right-aligned in at least W characters, never cut.
        w = writer.width
        it = iter(fields)
        rebuilt = "".join(f"{writer.lead}{a.rjust(w)} {b.rjust(w)} {c.rjust(w)}\n"
                          for a, b, c in zip(it, it, it))
        if body != rebuilt:
            got_lines, want_lines = body.splitlines(True), rebuilt.splitlines(True)
            i = first_difference(got_lines, want_lines)
            pytest.fail(f"line {i}: {got_lines[i]!r} is not laid out as {want_lines[i]!r}")


@pytest.mark.parametrize("make", VALUE_CLASSES, ids=lambda f: f.__name__)
@pytest.mark.parametrize("precision", sorted(WRITERS), ids=lambda p: f"P{p}")
def test_fixed_point_matches_exact_formatting(precision, make):
    check_against_reference(WRITERS[precision], class_values(make, precision))

