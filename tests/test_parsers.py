"""The three parsers: field splitting, coordinates, the messages with their
0-based line numbers and the order of checks, which they share, then what
is their own (POSCAR flags, the XYZ empty line), and the arrays they return."""

import gc
import random
import sys

import numpy as np
import pytest

import _io_rs


class Parser:
    """One parser seen through the rules it shares with the others: a line
    is built from the coordinate part, and the positions come back."""

    def __init__(self, prefix, flags, call, count_message, parse_message):
        # flags: what stands between the coordinates and any further field
        self.prefix, self.flags, self.call = prefix, flags, call
        self.count_message, self.parse_message = count_message, parse_message

    def positions(self, coordinate_parts):
        return self.call([self.prefix + part for part in coordinate_parts])

    def failure(self, coordinate_parts):
        with pytest.raises(ValueError) as caught:
            self.positions(coordinate_parts)
        assert type(caught.value) is ValueError
        return str(caught.value)


XDATCAR_COUNT = "XDATCAR: not enough fields on coordinate line {}"
POSCAR_COUNT = "POSCAR: not enough fields on atom line {} (need 3 coordinates)"
POSCAR_COORD = "POSCAR: cannot parse coordinate '{}' on atom line {}: invalid float literal"
POSCAR_FLAG = "POSCAR: expected selective dynamics flag 'T' or 'F', got '{}' on atom line {}"
XYZ_EMPTY = "XYZ: empty line at atom index {}"
XYZ_COUNT = "XYZ: not enough position fields on atom line {}"
XYZ_COORD = "XYZ: cannot parse coordinate '{}' on line {}: invalid float literal"

PARSERS = {
    "xdatcar": Parser("", "", _io_rs.parse_xdatcar_coords_rs, XDATCAR_COUNT,
                      "XDATCAR: cannot parse '{}' on line {}: invalid float literal"),
    "poscar": Parser("", "", lambda lines: _io_rs.parse_poscar_positions_rs(lines, False)[0],
                     POSCAR_COUNT, POSCAR_COORD),
    "poscar-selective": Parser("", " T F T", lambda lines: _io_rs.parse_poscar_positions_rs(lines, True)[0],
                               POSCAR_COUNT, POSCAR_COORD),
    "xyz": Parser("Fe ", "", lambda lines: _io_rs.parse_xyz_block_rs(lines)[1], XYZ_COUNT, XYZ_COORD),
}
each_parser = pytest.mark.parametrize("parser", PARSERS.values(), ids=PARSERS)

SEPARATORS = ["\t", "\n", "\f", "\r", " "]
# Whitespace to Python's str.split, yet ordinary field characters here.
NON_SEPARATORS = ["\x0b", "\x00", "\x1c", "\x1f", "\x7f", "\x85", "\u00a0", "\u1680", "\u2000", "\u2007",
                  "\u200b", "\u2028", "\u2029", "\u202f", "\u3000", "\ufeff"]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


# Coordinate parts of a line and the three numbers they hold: the reader
# is Python's float() on the first three fields.
ROWS = [
    "0.1 0.2 0.3", "  0.25\t0.5   0.75\r\n", "-1.5e-3 +2E2 .5", "1.0E-01 1.0e-01 1E1", "007 5. -0",
    "1e400 -1e400 -1e-400", "nan -inf +Infinity", "-0.0625 0.001 123456789012345678901234567890",
]
# Fields after the coordinates (and the flags) are never read, whatever they hold.
TAILS = [" 0.4 0.5", " garbage 1.0D-01 t", " x\x0by \x00 \u00e9\u00a0 ,", "\t\t\t,"]


@each_parser
def test_rows(parser):
    lines = ROWS + [ROWS[0] + parser.flags + tail for tail in TAILS]
    got = parser.positions(lines)
    expected = [[float(t) for t in line.split()[:3]] for line in lines]
    assert got.shape == (len(lines), 3)
    assert np.array_equal(np.isnan(got), np.isnan(expected))
    numbers = ~np.isnan(got)
    assert bits(got[numbers]) == bits(np.array(expected)[numbers])


@each_parser
@pytest.mark.parametrize("run", [1, 3])
def test_each_separator_splits(parser, run):
    parts = [f"{s}1{s}2{s}3{s}" for s in (sep * run for sep in SEPARATORS)]
    parts.append("\t \r\n\f1 \t\r\n\f2\f\n\r\t 3\r\n")
    assert parser.positions(parts).tolist() == [[1.0, 2.0, 3.0]] * len(parts)


@each_parser
@pytest.mark.parametrize("char", NON_SEPARATORS, ids=ascii)
def test_other_characters_belong_to_fields(parser, char):
    assert parser.failure([f"1{char}2 3 4"]) == parser.parse_message.format(f"1{char}2", 0)
    assert parser.failure([f"1 2 3{char}"]) == parser.parse_message.format(f"3{char}", 0)
    assert parser.failure([char]) == parser.parse_message.format(char, 0)


# Coordinate parts of a block; the failure as (count message or field, line).
FAILURES = [
    (["0.5 0.5"], (None, 0)),
    (["1 2 3"] * 3 + ["0.5"], (None, 3)),
    (["1 2 3", "1 2 3", "0.5 abc 0.5"], ("abc", 2)),
    (["0 0 abc"], ("abc", 0)),
    (["abc"], ("abc", 0)),                      # the bad field, not the field count
    (["0.5 abc"], ("abc", 0)),
    (["x y z"], ("x", 0)),
    (["abc 1 2", "1"], ("abc", 0)),             # the first failing line decides
    (["1", "abc 1 2"], (None, 0)),
    (["1 2 3", "1 2", "abc"], (None, 1)),
    (["1.0D-01 0 0"], ("1.0D-01", 0)),
    (["0 0 0"] * 1000 + ["0 0 -"], ("-", 1000)),
    # The field is quoted exactly as found: no escaping, no truncation.
    (["0 {} 0"], ("{}", 0)), (["0 '%s' 0"], ("'%s'", 0)), (["0 \\n 0"], ("\\n", 0)),
    (["0 \U0001f600 0"], ("\U0001f600", 0)), (["0 " + "7" * 10000 + "x 0"], ("7" * 10000 + "x", 0)),
]


@each_parser
@pytest.mark.parametrize("parts, failure", FAILURES, ids=[str(i) for i in range(len(FAILURES))])
def test_failures(parser, parts, failure):
    field, line = failure
    expected = parser.count_message.format(line) if field is None else parser.parse_message.format(field, line)
    assert parser.failure(parts) == expected


@each_parser
def test_short_and_empty_lines(parser):
    for line in ["", " \t\r\n\f "] if parser.prefix == "" else []:
        assert parser.failure(["1 2 3", line]) == parser.count_message.format(1)
    for line in ["1", "1 2", "  1\t2\r\n"]:
        assert parser.failure(["1 2 3", "1 2 3", line]) == parser.count_message.format(2)


@each_parser
def test_long_blocks_keep_their_order(parser):
    parts = [f"{i} {i + 0.5} {-i}" for i in range(20000)]
    assert np.array_equal(parser.positions(parts), [[i, i + 0.5, -i] for i in range(20000)])
    assert parser.failure(parts + ["0.25 0.5 oops"]) == parser.parse_message.format("oops", 20000)
    huge = parser.flags + " x" * 1_000_000  # a tail of a million fields is never looked at
    assert parser.positions(["1 2 3" + huge, "4 5 6" + huge]).tolist() == [[1, 2, 3], [4, 5, 6]]


# --- POSCAR selective-dynamics flags ------------------------------------------------

FLAG_CASES = [
    ("", [False, False, False]), ("F", [True, False, False]), ("T", [False, False, False]),
    ("F F", [True, True, False]), ("T F", [False, True, False]), ("F T F", [True, False, True]),
    ("T T T", [False, False, False]), ("F F F", [True, True, True]), ("T F T", [False, True, False]),
    ("T T F Si", [False, False, True]), ("F F F garbage 1.0D-01 t", [True, True, True]),
    ("F\tT\fF\r\n", [True, False, True]), ("   F   ", [True, False, False]),
]


def test_flags():
    lines = [f"0.5 0.5 0.5 {tail}" for tail, _ in FLAG_CASES]
    positions, flags = _io_rs.parse_poscar_positions_rs(lines, True)
    assert flags.tolist() == [expected for _, expected in FLAG_CASES]
    assert positions.tolist() == [[0.5] * 3] * len(lines)
    # Without selective dynamics the letters are never read.
    assert _io_rs.parse_poscar_positions_rs(lines + ["0 0 0 t x 1"], False)[1] is None


def test_flag_buffer_starts_false():
    # Rows alternate between all-F flags and none, so a flag buffer that is
    # not cleared up front shows through.
    lines = [f"{i} 0 0 F F F" if i % 2 else f"{i} 0 0" for i in range(20000)]
    flags = _io_rs.parse_poscar_positions_rs(lines, True)[1]
    assert flags[1::2].all() and not flags[0::2].any()


@pytest.mark.parametrize("bad", ["t", "f", "TRUE", "FF", "TF", "1", ".T.", "F,", "'F'", "-", "\uff26", "\u0422",
                                 "F\x0bT", "F\u00a0", "\x00", "F\u0307", "{}", "é"])
@pytest.mark.parametrize("before", ["", "T F "])
def test_refused_flag_quoted_whole(bad, before):
    with pytest.raises(ValueError) as caught:
        _io_rs.parse_poscar_positions_rs(["0 0 0 F F F", "1 1 1", f"0.1 0.2 0.3 {before}{bad} F"], True)
    assert str(caught.value) == POSCAR_FLAG.format(bad, 2)


@pytest.mark.parametrize("lines, message", [
    (["abc 0 0 x"], POSCAR_COORD.format("abc", 0)),   # a bad coordinate before any flag
    (["0 0 abc x"], POSCAR_COORD.format("abc", 0)),
    (["0 0 0 x y"], POSCAR_FLAG.format("x", 0)),
    (["0 0 0 T x y"], POSCAR_FLAG.format("x", 0)),
    (["0 0 0 t", "abc 0 0"], POSCAR_FLAG.format("t", 0)),
    (["0 0 0 F F F", "0 0 0 F F F T", "0 0 0 T T f"], POSCAR_FLAG.format("f", 2)),
])
def test_poscar_order_of_checks(lines, message):
    with pytest.raises(ValueError) as caught:
        _io_rs.parse_poscar_positions_rs(lines, True)
    assert str(caught.value) == message


# --- XYZ ---------------------------------------------------------------------------

@pytest.mark.parametrize("lines, message", [
    ([""], XYZ_EMPTY.format(0)),
    (["H 0 0 0"] * 4 + [" \t\r\n\f", "also not looked at"], XYZ_EMPTY.format(4)),
    (["He"], XYZ_COUNT.format(0)),
    (["H 0 0 0", "H 0 0 0", "  He\t0.5 1.5\r\n"], XYZ_COUNT.format(2)),
    (["0 0 0"], XYZ_COUNT.format(0)),
    (["H abc"], XYZ_COORD.format("abc", 0)),
    (["H\u00a00.5 1.5 2.5"], XYZ_COUNT.format(0)),   # the symbol swallows the first number
    (["H\x0b0.5 1.5 2.5"], XYZ_COUNT.format(0)),
    (["", "H abc"], XYZ_EMPTY.format(0)),
    (["H 0", "H abc"], XYZ_COUNT.format(0)),
])
def test_xyz_failures(lines, message):
    with pytest.raises(ValueError) as caught:
        _io_rs.parse_xyz_block_rs(lines)
    assert str(caught.value) == message


# Every printable ASCII character that is not a separator, in both cases.
SYMBOL_CHARACTERS = [chr(c) for c in range(0x21, 0x7F)]


@pytest.mark.parametrize("length", range(1, 41))
def test_ascii_symbols_of_any_length_follow_str_case_mapping(length):
    # Up to eight bytes take one path, longer symbols another; both are held
    # to str.lower() of the whole field, then str.upper() of its first character.
    rng = random.Random(length)
    fields = ["".join(rng.choice(SYMBOL_CHARACTERS) for _ in range(length)) for _ in range(60)]
    edges = "@AZ[`az{"  # each letter range's ends and their neighbours, each one first in turn
    fields += [((edges[i:] + edges[:i]) * length)[:length] for i in range(len(edges))]
    symbols, _ = _io_rs.parse_xyz_block_rs([f"{f} 0 0 0" for f in fields])
    assert symbols == [f.lower()[:1].upper() + f.lower()[1:] for f in fields]


def test_xyz_symbols_and_positions():
    symbols, positions = _io_rs.parse_xyz_block_rs(
        ["  C\t0.5  1.5 2.5\r\n", "o -1.5e2 +2.25 .75 charge", "CL\t7\t8\t9\n", "h\u00a0X 1 2 3"])
    assert symbols == ["C", "O", "Cl", "H\u00a0x"] and all(type(s) is str for s in symbols)
    assert positions.tolist() == [[0.5, 1.5, 2.5], [-150.0, 2.25, 0.75], [7.0, 8.0, 9.0], [1.0, 2.0, 3.0]]


# --- the arrays the parsers return -----------------------------------------------------

LINES = ["0.0 0.5 0.25 F T F", "1 2 3 T T F"]
PRODUCERS = {
    "xdatcar": lambda lines: _io_rs.parse_xdatcar_coords_rs(lines),
    "poscar positions": lambda lines: _io_rs.parse_poscar_positions_rs(lines, True)[0],
    "poscar flags": lambda lines: _io_rs.parse_poscar_positions_rs(lines, True)[1],
    "poscar plain": lambda lines: _io_rs.parse_poscar_positions_rs(lines, False)[0],
    "xyz": lambda lines: _io_rs.parse_xyz_block_rs(["H " + line for line in lines])[1],
}
producer = pytest.mark.parametrize("name, make", PRODUCERS.items(), ids=PRODUCERS)


@producer
@pytest.mark.parametrize("count", [0, 1, 50])
def test_array_layout_and_holder(name, make, count):
    array = make((LINES * 25)[:count])
    size = 1 if name == "poscar flags" else 8
    assert type(array) is np.ndarray and array.dtype == (bool if size == 1 else np.float64)
    assert array.shape == (count, 3) and array.strides == ((3 * size, size) if count else (0, 0))
    assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
    holder = type(array.base)
    assert (holder.__name__, holder.__module__) == ("PySliceContainer", "builtins")
    other = make(LINES)
    assert type(other.base) is holder and other.base is not array.base and not np.shares_memory(array, other)
    base = other.base
    refs = sys.getrefcount(base)
    del other
    gc.collect()
    assert sys.getrefcount(base) == refs - 1  # the array held exactly one reference


def test_empty_blocks():
    assert _io_rs.parse_poscar_positions_rs([], False)[1] is None
    flags = _io_rs.parse_poscar_positions_rs([], True)[1]
    assert flags.shape == (0, 3) and flags.dtype == bool
    symbols, positions = _io_rs.parse_xyz_block_rs([])
    assert type(symbols) is list and symbols == [] and positions.shape == (0, 3)


@producer
def test_writing_into_a_result(name, make):
    array = make(LINES)
    array[0] = array[1]
    assert array[0].tolist() == array[1].tolist() != make(LINES)[0].tolist()


def test_a_view_keeps_the_memory_alive():
    positions, flags = _io_rs.parse_poscar_positions_rs(["1 2 3 F", "4 5 6 T"], True)
    view = positions[1:]
    assert not np.shares_memory(positions, flags) and positions.base is not flags.base
    del positions, flags
    gc.collect()
    noise = [_io_rs.parse_xdatcar_coords_rs(["7 7 7", "7 7 7"]) for _ in range(100)]
    assert view.tolist() == [[4.0, 5.0, 6.0]] and len(noise) == 100
