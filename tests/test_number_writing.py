"""Fixed-point fields as every formatter writes them (11 wide with 8
decimals in XDATCAR, 19 / 16 in POSCAR, 22 / 15 in XYZ), against CPython's
exact fixed-point formatting, which rounds the binary value half to even."""

import math

import numpy as np
import pytest

import _io_rs


class Writer:
    """One formatter seen as a writer of fixed-point fields."""

    def __init__(self, width, precision, call, head, lead):
        self.width, self.precision, self.call, self.head, self.lead = width, precision, call, head, lead

    def fields(self, values):
        """Writes the values three to a row; returns the fields as written,
        after checking that each is right-aligned in the width, never cut."""
        text = self.call(values.reshape(-1, 3))
        assert text.startswith(self.head)
        body = text[len(self.head):]
        fields = [f for line in body.splitlines() for f in line[len(self.lead):].split()]
        it = iter(fields)
        w = self.width
        assert body == "".join(f"{self.lead}{a.rjust(w)} {b.rjust(w)} {c.rjust(w)}\n" for a, b, c in zip(it, it, it))
        return fields

    def reference(self, values):
        # format() spells NaN 'nan' or '-nan'; the module writes NaN, unsigned.
        return ["NaN" if math.isnan(x) else format(x, f".{self.precision}f") for x in values.tolist()]


WRITERS = {
    8: Writer(11, 8, lambda a: _io_rs.format_xdatcar_config_rs(a, 1), "Direct configuration=     1\n", "  "),
    15: Writer(22, 15, lambda a: _io_rs.format_xyz_block_rs(["H"] * len(a), a), "", "H  "),
    16: Writer(19, 16, lambda a: _io_rs.format_poscar_positions_rs(a), "", " "),
}

# Each class gives values for a precision, where rounding to it is hard.
def neighbours(x, steps):
    """x and its neighbours up to `steps` representable values away."""
    out, up, down = [x], x, x
    for _ in range(steps):
        up, down = np.nextafter(up, np.inf), np.nextafter(down, -np.inf)
        out += [up, down]
    return np.concatenate(out)


def signed(rng, x):
    return np.where(rng.integers(0, 2, x.size) == 1, -x, x)


def random_bit_patterns(rng, p):
    return np.frombuffer(rng.bytes(8 * 60_000), dtype=np.float64)


def exact_ties(rng, p):
    # Odd multiples of 2**-(p+1) end in a 5 at place p+1: exact ties.
    width = rng.integers(1, 54, 20_000)
    odd = 2 * rng.integers(0, 2 ** (width - 1)) + 1
    return neighbours(signed(rng, odd.astype(np.float64) * 2.0 ** -(p + 1)), 1)


def near_decimal_halves(rng, p):
    # The doubles nearest to n.5 units of the last place, where a detour
    # through a shorter decimal spelling would round the other way; 10**k - 1
    # makes the round-up carry through every digit.
    n = np.floor(10.0 ** rng.uniform(0, 15, 15_000))
    n[:15] = 10.0 ** np.arange(1, 16) - 1
    return neighbours(signed(rng, (n + 0.5) / 10.0**p), 2)


def binade_edges(rng, p):
    # Powers of two and ten from the smallest subnormal to the largest
    # double: where the integer part starts, leaves 64 bits, or the scaled
    # fraction needs more than 64 or 128 bits.
    edges = np.concatenate([np.ldexp(1.0, np.arange(-1074, 1024)),
                            [float(f"{m}e{k}") for k in range(-325, 309) for m in (1, 5)]])
    near = neighbours(edges, 3)
    near = near[np.isfinite(near)]
    return np.concatenate([near, -near])


def by_fields(rng, p, count, exponents):
    mantissas = rng.integers(0, 2**52, count, dtype=np.uint64)
    signs = rng.integers(0, 2, count, dtype=np.uint64)
    return ((signs << np.uint64(63)) | (exponents.astype(np.uint64) << np.uint64(52)) | mantissas).view(np.float64)


def large_and_tiny(rng, p):
    # Integers past 2**53 up to the largest double; subnormals; normals far
    # below half a unit of the last place, which round to a signed zero.
    top = 1023 - math.ceil((p + 1) * math.log2(10))
    return np.concatenate([by_fields(rng, p, 30_000, rng.integers(1070, 2047, 30_000)),
                           by_fields(rng, p, 20_000, np.zeros(20_000, np.int64)),
                           by_fields(rng, p, 10_000, rng.integers(1, top, 10_000))])


def everyday_values(rng, p):
    short_decimals = rng.integers(-10**6, 10**6, 20_000) / 10.0 ** rng.integers(0, 9, 20_000)
    specials = [0x0, 0x8000 << 48, 0x7FF0 << 48, 0xFFF0 << 48, 0x7FF8 << 48, 0xFFF8 << 48,
                (0x7FF0 << 48) | 1, 0xFFFF_FFFF_FFFF_FFFF, 0x0010 << 48, 0x7FEF_FFFF_FFFF_FFFF]
    return np.concatenate([rng.random(20_000), rng.uniform(-1000, 1000, 20_000), short_decimals,
                           np.array(specials, dtype=np.uint64).view(np.float64)])


VALUE_CLASSES = [random_bit_patterns, exact_ties, near_decimal_halves, binade_edges, large_and_tiny, everyday_values]


@pytest.mark.parametrize("make", VALUE_CLASSES, ids=lambda f: f.__name__)
@pytest.mark.parametrize("precision", sorted(WRITERS), ids=lambda p: f"P{p}")
def test_fields_match_exact_formatting(precision, make):
    writer = WRITERS[precision]
    values = make(np.random.default_rng(VALUE_CLASSES.index(make) * 100 + precision), precision)
    values = np.concatenate([values, np.zeros(-values.size % 3)])
    got, want = writer.fields(values), writer.reference(values)
    wrong = [(float(v).hex(), g, w) for v, g, w in zip(values, got, want) if g != w]
    assert len(got) == len(want) and wrong[:5] == []
